// Preloaded into the built authenticator: a libsodium that cannot start (as
// on a machine that gives it no randomness), which no real machine does on
// demand.
extern "C" int sodium_init() { return -1; }

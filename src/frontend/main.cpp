// Process entry of the authenticator (replaced by the front end's own entry).
int main() { return 0; }

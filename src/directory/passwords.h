// Stored password hashes in the user table: the directory's keys for them,
// the verification of a given password against the value read from the row
// (in the authenticator, not in the database) under each family's cost
// ceiling, the same cost spent for a user the table does not hold, and the
// rewrite of a value in a stronger scheme after a successful check.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Stores one of the password keys; false when the key is not one of them.
bool password_load(const char* key, const char* value);
// Judges the keys once the ini file is read, with an error line for each
// that cannot be used; readies the hash libraries and makes the unknown
// user's dummy value, which no command waits for later.
void password_start();
void password_cleanup();

// For the configuration check: which dummy unknown users are checked
// against, and the cost ceilings; nothing without a usable
// default_pass_scheme.
std::vector<std::string> password_report();

// With default_pass_scheme set, check reads the row by user name alone and
// verifies here; without it the database compares the password as ever.
bool passwords_hashed();

// What the row's stored value said of the given password: unusable for a
// value that could not be verified (NULL or empty, malformed, a weak or
// unknown scheme, the scheme not usable), which is no proof that the
// password is wrong and so must not be remembered as a refusal.
enum class password_verdict { match, mismatch, unusable };

// Verifies the given password against the row's stored value, logging why
// a check fails for any reason but a wrong password.
password_verdict password_matches(const std::string& user, const std::string& given,
                                  const std::optional<std::string>& stored);

// For a check that found no single row to verify against (and for a
// stored value that cannot be verified): verifies against the dummy settled
// at start, so that the answer costs what a known user's wrong password
// costs and its time does not tell whether the user exists.
void password_unknown_user(const std::string& given);

// Whether a successful check may write the value back (pass_rehash_scheme),
// so that the check notes the room of the password column meanwhile.
bool password_rehash_on();
// After a successful check: writes the value made again in the target
// scheme, unless it is in it already or this user's write failed before.
// `room` is the longest value the password column takes and gives back.
void password_rehash(const std::string& user, const std::string& given, const std::string& stored,
                     std::size_t room);

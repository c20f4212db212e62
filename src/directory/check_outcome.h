// How a check ended, as only the directory knows it: the answer says "+OK"
// or "-ERR" and nothing more (an unknown user and a wrong password get the
// same words), while the log, the throttle and the counters are told why.
#pragma once

enum class check_outcome : unsigned char {
    accepted,
    wrong_password,  // the user's row refused the password
    unknown_user,    // no row for the user (told apart only with stored hashes)
    // Without stored hashes the database compares the password too: no row
    // may mean either.
    wrong_user_or_password,
    mask,            // the password was right, the address outside the user's mask or networks
    refused_value,   // a stored value that cannot be verified or answered
    throttled,       // refused at once: the address failed too often
    database_error,  // the database failed, or was not reached, and nothing kept answered
};

// The reason's word in a failure line: "wrong-password", "unknown-user",
// "wrong-user-or-password", "mask", "refused-value", "throttled",
// "database-error".
const char* check_outcome_word(check_outcome outcome);

// Whether the client's own try was refused (the four of wrong passwords,
// unknown users and masks): what the throttle counts.
bool refused_for_the_try(check_outcome outcome);

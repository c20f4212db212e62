// The connect string the wrapper hands to the driver manager: the data
// source, then the optional login and password pieces, each ended by ";".
// A second form, with the password hidden, is the only one ever logged.
#pragma once

#include <optional>
#include <string>

// A value holding ";", "{", "}" or leading/trailing blanks would otherwise
// end its piece early or be trimmed by the driver manager, so it goes in
// braces with each "}" doubled. Ordinary values pass unchanged.
std::string odbc_connect_value(const std::string& value);

struct connect_strings {
    std::string sent;   // handed to the driver manager
    std::string shown;  // for the log: the "PWD=" value replaced by "****"
};

connect_strings build_connect_string(const std::optional<std::string>& data_source,
                                     const std::optional<std::string>& login,
                                     const std::optional<std::string>& password);

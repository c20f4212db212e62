#include "frontend/command_line.h"

#include "config/ascii_text.h"

std::vector<protocol_entry> front_end_protocols;
const service_entry* front_end_service = nullptr;

namespace {

std::string known_protocols() {
    std::string names = "line";
    for (const protocol_entry& p : front_end_protocols) names += std::string(", ") + p.name;
    return names;
}

}  // namespace

bool read_command_options(int argc, char** argv, command_options& options, std::string& wrong) {
    options = command_options{};
    for (int i = 1; i < argc && argv[i]; ++i) {
        const char* word = argv[i];
        auto next = [&](const char* option) -> const char* {
            if (i + 1 < argc && argv[i + 1]) return argv[++i];
            wrong = std::string("quillmar: ") + option + " needs a value";
            return nullptr;
        };
        if (ascii_equal_ignoring_case(word, "-version")) {
            // Only as the first argument: "-debug -version" has always meant
            // a session in debug mode.
            if (i != 1) break;
            options.version = true;
            return true;
        } else if (ascii_equal_ignoring_case(word, "-debug")) {
            options.debug = true;
        } else if (ascii_equal_ignoring_case(word, "-check")) {
            options.check = true;
            if (i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-')
                options.check_user = std::string(argv[++i]);
        } else if (ascii_equal_ignoring_case(word, "-stats")) {
            options.stats = true;
            if (i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-')
                options.stats_folder = std::string(argv[++i]);
        } else if (ascii_equal_ignoring_case(word, "-flush")) {
            options.flush = true;
            if (i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-')
                options.flush_user = std::string(argv[++i]);
        } else if (ascii_equal_ignoring_case(word, "-config")) {
            const char* file = next("-config");
            if (!file) return false;
            options.config_file = std::string(file);
        } else if (ascii_equal_ignoring_case(word, "-serve")) {
            if (!front_end_service) {
                wrong = "quillmar: -serve is not available in this program";
                return false;
            }
            options.serve = true;
        } else if (ascii_equal_ignoring_case(word, "-protocol")) {
            const char* name = next("-protocol");
            if (!name) return false;
            options.protocol = nullptr;
            bool found = ascii_equal_ignoring_case(name, "line");
            for (const protocol_entry& p : front_end_protocols) {
                if (found || !ascii_equal_ignoring_case(name, p.name)) continue;
                options.protocol = &p;
                found = true;
            }
            if (!found) {
                wrong = std::string("quillmar: unknown protocol '") + name +
                        "' (known: " + known_protocols() + ")";
                return false;
            }
            if (options.protocol && options.protocol->takes_program) {
                // The word after the name is always the program: an option
                // of ours written there ("-config FILE", a slip in Dovecot's
                // args, which appends its program last) would otherwise be
                // run as the program and the settings silently not read.
                const char* first = i + 1 < argc ? argv[i + 1] : nullptr;
                if (first && first[0] == '-') {
                    wrong = std::string("quillmar: -protocol ") + options.protocol->name +
                            " takes the program to run as its next word, not '" + first +
                            "': write the options before -protocol (quillmar [-debug] [-config "
                            "FILE] -protocol " +
                            options.protocol->name + " PROGRAM [ARGS...])";
                    return false;
                }
                for (++i; i < argc && argv[i]; ++i) options.program.emplace_back(argv[i]);
                if (options.program.empty() && !options.check) {
                    wrong = std::string("quillmar: -protocol ") + options.protocol->name +
                            " needs the program to run after a login";
                    return false;
                }
                break;
            }
        } else {
            break;
        }
    }
    if (options.serve && options.protocol) {
        wrong = "quillmar: -serve and -protocol exclude each other";
        return false;
    }
    return true;
}

// The ini reader under hostile files: whatever the bytes, every key it hands
// to the back end, and every front-end setting it takes, must be what a
// plain reading of the line syntax gives (key up to the first blank, value
// after the blanks, trailing blanks and line ends not part of it, lines with
// a NUL ignored), and nothing may crash.
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <cctype>
#include <cstring>
#include <optional>
#include <utility>

#include "config/globals.h"
#include "config/ini.h"
#include "fuzz_support.h"

namespace {

using key_value = std::pair<std::string, std::string>;
std::string private_dir;
std::vector<key_value> loaded;

int record_load(const char* key, const char* value) {
    loaded.emplace_back(key, value);
    return 1;
}

bool same_ignoring_case(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// The line syntax read independently of the reader: returns the pair, or
// nothing for a line that carries none.
std::optional<key_value> read_pair(std::string line) {
    if (line.empty() || line[0] == '#' || line[0] == '\r' || line[0] == '\n') return std::nullopt;
    if (line.find('\0') != std::string::npos) return std::nullopt;
    while (!line.empty() && (blank(line.back()) || line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    std::size_t gap = 0;
    while (gap < line.size() && !blank(line[gap])) ++gap;
    if (gap == line.size()) return std::nullopt;
    std::size_t value = gap;
    while (value < line.size() && blank(line[value])) ++value;
    return key_value(line.substr(0, gap), line.substr(value));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader opens "<program>.ini" in the working directory and may
    // create "<program>.log" there: both stay in a directory of their own,
    // entered only while the reader runs (libFuzzer's own paths may be
    // relative to the directory it was started in).
    static char dir[] = "/tmp/qm-ini-fuzz-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    private_dir = dir;
    std::atexit([] {
        ::unlink((private_dir + "/fuzz.ini").c_str());
        ::unlink((private_dir + "/fuzz.log").c_str());
        ::rmdir(private_dir.c_str());
    });
    // In debug mode the reader's lines are echoed on stdout.
    int null = ::open("/dev/null", O_WRONLY);
    if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) std::abort();
    ::close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    // A "log_path" line would have the log written wherever the input says;
    // it is pinned to a name in the private directory before the file is
    // written, and the expectation follows.
    std::string file;
    std::vector<key_value> expected_loads;
    std::optional<std::string> expected_domain, expected_pass, expected_log;
    int expected_debug = 0;
    for (std::string& line : qmtest::split_lines(text)) {
        // A byte-order mark at the very start of the file is no part of a key.
        const bool mark = file.empty() && line.compare(0, 3, "\xEF\xBB\xBF") == 0;
        file += mark ? line.substr(0, 3) : "";
        if (mark) line.erase(0, 3);
        std::optional<key_value> pair = read_pair(line);
        if (pair && same_ignoring_case(pair->first, "log_path")) {
            line = pair->first + " fuzz.log\n";
            pair->second = "fuzz.log";
        }
        file += line;
        if (!pair) continue;
        const std::string& key = pair->first;
        if (same_ignoring_case(key, "debug"))
            expected_debug = same_ignoring_case(pair->second, "true") ? 1 : 0;
        else if (same_ignoring_case(key, "log_path"))
            expected_log = pair->second;
        else if (same_ignoring_case(key, "domain"))
            expected_domain = pair->second;
        else if (same_ignoring_case(key, "info_pass"))
            expected_pass = pair->second;
        else
            expected_loads.push_back(*pair);
    }
    std::FILE* out = std::fopen((private_dir + "/fuzz.ini").c_str(), "wb");
    if (!out) std::abort();
    if (!file.empty() && std::fwrite(file.data(), 1, file.size(), out) != file.size()) std::abort();
    std::fclose(out);

    loaded.clear();
    debug_mode = 0;
    log_path.reset();
    domain.reset();
    info_pass.reset();

    int started_in = ::open(".", O_RDONLY | O_DIRECTORY);
    if (started_in < 0 || ::chdir(private_dir.c_str()) != 0) std::abort();
    int found = load_ini("./fuzz", record_load);
    ::unlink("fuzz.log");
    if (::fchdir(started_in) != 0) std::abort();
    ::close(started_in);
    FUZZ_CHECK(found == 1, text);
    FUZZ_CHECK(loaded == expected_loads, text);
    FUZZ_CHECK(domain == expected_domain, text);
    FUZZ_CHECK(info_pass == expected_pass, text);
    FUZZ_CHECK(log_path == expected_log.value_or("fuzz.log"), text);
    FUZZ_CHECK(debug_mode == expected_debug, text);

    debug_mode = 0;
    return 0;
}

// A private working directory and clean process-wide settings for each test
// of the ini reader and the log, which both work relative to the current
// directory and on process-global state.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/globals.h"
#include "config/ini.h"
#include "config/log.h"
#include "support/child_process.h"

namespace qmtest {

// Every key handed to the back end, in order.
inline std::vector<std::pair<std::string, std::string>>& loaded_keys() {
    static std::vector<std::pair<std::string, std::string>> keys;
    return keys;
}

inline int record_load(const char* key, const char* value) {
    loaded_keys().emplace_back(key, value);
    return 1;
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        old_cwd_ = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-cfg-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        std::filesystem::current_path(dir_);
        loaded_keys().clear();
        debug_mode = 0;
        process_id = static_cast<long>(::getpid());
        log_path.reset();
        domain.reset();
        info_pass.reset();
        // Leaves no start buffer active from an earlier test.
        start_buffer_begin();
        int saved = debug_mode;
        debug_mode = 0;
        start_buffer_empty();
        debug_mode = saved;
    }
    void TearDown() override {
        std::filesystem::current_path(old_cwd_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        debug_mode = 0;
        log_path.reset();
        domain.reset();
        info_pass.reset();
    }
    void write_file(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    std::string read_file(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool file_exists(const std::string& name) { return std::filesystem::exists(dir_ / name); }

    std::filesystem::path dir_;

private:
    std::filesystem::path old_cwd_;
};

inline std::vector<std::string> lines_of(const std::string& text) { return split_lines(text); }

// True when `s` at `pos` holds a time stamp "Mon DD HH:MM:SS YYYY".
inline bool is_time_stamp(const std::string& s, std::size_t pos) {
    static const char shape[] = "Aaa 00 00:00:00 0000";
    if (s.size() < pos + 20) return false;
    for (std::size_t i = 0; i < 20; ++i) {
        char c = s[pos + i], want = shape[i];
        bool ok = want == 'A'   ? (c >= 'A' && c <= 'Z')
                  : want == 'a' ? (c >= 'a' && c <= 'z')
                  : want == '0' ? (c >= '0' && c <= '9')
                                : c == want;
        if (!ok) return false;
    }
    return true;
}

// What follows `count` line heads ("<pid> <time stamp> "), or "<no head>"
// when the text does not start with them.
inline std::string after_heads(const std::string& line, int count = 1) {
    std::size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        std::size_t digits = pos;
        while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
        if (digits == pos || digits >= line.size() || line[digits] != ' ') return "<no head>";
        if (!is_time_stamp(line, digits + 1)) return "<no head>";
        pos = digits + 21;
        if (pos >= line.size() || line[pos] != ' ') return "<no head>";
        ++pos;
    }
    return line.substr(pos);
}

}  // namespace qmtest

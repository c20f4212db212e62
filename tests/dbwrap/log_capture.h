// Points the log at a file of the test's own, with debug mode on, and reads
// back the messages without their process id and time stamp.
#pragma once

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "config/globals.h"

class log_capture {
public:
    log_capture() {
        char name[] = "/tmp/qm_dbwrap_logXXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path_ = name;
        saved_path_ = log_path;
        saved_debug_ = debug_mode;
        log_path = path_;
        debug_mode = 1;
    }
    ~log_capture() {
        std::fflush(stdout);
        log_path = saved_path_;
        debug_mode = saved_debug_;
        std::remove(path_.c_str());
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Each message as written: error lines keep their "ERROR: " mark.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            std::size_t pid_end = line.find(' ');
            if (pid_end == std::string::npos || line.size() < pid_end + 22) {
                out.push_back(line);
                continue;
            }
            out.push_back(line.substr(pid_end + 22));
        }
        return out;
    }
    void clear() const { std::ofstream(path_, std::ios::trunc); }

private:
    std::string path_;
    std::optional<std::string> saved_path_;
    int saved_debug_ = 0;
};

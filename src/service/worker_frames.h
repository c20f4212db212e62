// The service's own protocol between the supervisor and its workers, over
// a socket pair: length-framed messages, each a 4-byte length (big-endian)
// and a body of at most a mebibyte. A job asks a check or a lookup; its
// answer says found (with the record's fields and the mail uid), refused
// or unavailable. A worker's first message says it has started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/auth_protocol.h"

enum class job_kind : std::uint8_t { check = 1, lookup = 2 };

struct worker_job {
    std::uint32_t id = 0;
    job_kind kind = job_kind::check;
    std::string user, password;
    std::optional<std::string> address;
};

struct worker_answer {
    std::uint32_t id = 0;
    check_verdict verdict = check_verdict::refused;
    std::optional<std::string> user, maildrop, options;
    std::int64_t uid = 0;
};

constexpr std::size_t max_frame_body = 1u << 20;

// Whole frames, length included. A stream may carry any number of them
// back to back: the supervisor writes the jobs it has for a worker in one
// write, and the worker its answers.
std::string frame_job(const worker_job& job);
// The same frame put at the end of `out`, from the request's own fields:
// the supervisor's steady path copies the password only once, into `out`.
void append_job_frame(std::string& out, std::uint32_t id, job_kind kind, const std::string& user,
                      const std::string& password, const std::optional<std::string>& address);
std::string frame_answer(const worker_answer& answer);
std::string frame_ready();

enum class frame_status { incomplete, complete, broken };

// The first frame of `input`: its body and the bytes it took.
frame_status take_frame(std::string_view input, std::string_view& body, std::size_t& used);

// A body read back; absent when it is not one of its kind.
std::optional<worker_job> read_job(std::string_view body);
std::optional<worker_answer> read_answer(std::string_view body);
bool is_ready(std::string_view body);

#include "service/worker_frames.h"

namespace {

const char job_mark = 'J', answer_mark = 'A', ready_mark = 'R';

void put32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void put_text(std::string& out, const std::string& text) {
    put32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

void put_optional(std::string& out, const std::optional<std::string>& text) {
    out += text ? '\1' : '\0';
    if (text) put_text(out, *text);
}

std::string framed(const std::string& body) {
    std::string out;
    out.reserve(body.size() + 4);
    put32(out, static_cast<std::uint32_t>(body.size()));
    out += body;
    return out;
}

// Reads a body front to back; any read past its end marks it broken.
struct body_reader {
    std::string_view rest;
    bool broken = false;

    std::uint32_t u32() {
        if (rest.size() < 4) {
            broken = true;
            return 0;
        }
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(rest[i]);
        rest.remove_prefix(4);
        return value;
    }
    std::uint8_t byte() {
        if (rest.empty()) {
            broken = true;
            return 0;
        }
        std::uint8_t value = static_cast<unsigned char>(rest[0]);
        rest.remove_prefix(1);
        return value;
    }
    std::string text() {
        std::uint32_t length = u32();
        if (broken || rest.size() < length) {
            broken = true;
            return "";
        }
        std::string value(rest.substr(0, length));
        rest.remove_prefix(length);
        return value;
    }
    std::optional<std::string> optional_text() {
        std::uint8_t present = byte();
        if (present > 1) broken = true;
        if (broken || !present) return std::nullopt;
        return text();
    }
    bool whole() const { return !broken && rest.empty(); }
};

}  // namespace

void append_job_frame(std::string& out, std::uint32_t id, job_kind kind, const std::string& user,
                      const std::string& password, const std::optional<std::string>& address) {
    const std::size_t body =
        1 + 4 + 1 + 4 + user.size() + 4 + password.size() + 1 + (address ? 4 + address->size() : 0);
    // Grown before the password goes in, so that no copy of it is left
    // behind in a buffer given up while it grows.
    out.reserve(out.size() + 4 + body);
    put32(out, static_cast<std::uint32_t>(body));
    out += job_mark;
    put32(out, id);
    out += static_cast<char>(kind);
    put_text(out, user);
    put_text(out, password);
    put_optional(out, address);
}

std::string frame_job(const worker_job& job) {
    std::string out;
    append_job_frame(out, job.id, job.kind, job.user, job.password, job.address);
    return out;
}

std::string frame_answer(const worker_answer& answer) {
    std::string body(1, answer_mark);
    put32(body, answer.id);
    body += static_cast<char>(answer.verdict);
    put_optional(body, answer.user);
    put_optional(body, answer.maildrop);
    put_optional(body, answer.options);
    const std::uint64_t uid = static_cast<std::uint64_t>(answer.uid);
    put32(body, static_cast<std::uint32_t>(uid >> 32));
    put32(body, static_cast<std::uint32_t>(uid));
    return framed(body);
}

std::string frame_ready() { return framed(std::string(1, ready_mark)); }

frame_status take_frame(std::string_view input, std::string_view& body, std::size_t& used) {
    if (input.size() < 4) return frame_status::incomplete;
    body_reader head{input.substr(0, 4)};
    const std::uint32_t length = head.u32();
    if (length == 0 || length > max_frame_body) return frame_status::broken;
    if (input.size() < 4 + static_cast<std::size_t>(length)) return frame_status::incomplete;
    body = input.substr(4, length);
    used = 4 + static_cast<std::size_t>(length);
    return frame_status::complete;
}

std::optional<worker_job> read_job(std::string_view body) {
    body_reader in{body};
    if (in.byte() != job_mark) return std::nullopt;
    worker_job job;
    job.id = in.u32();
    const std::uint8_t kind = in.byte();
    if (kind != static_cast<std::uint8_t>(job_kind::check) &&
        kind != static_cast<std::uint8_t>(job_kind::lookup))
        return std::nullopt;
    job.kind = static_cast<job_kind>(kind);
    job.user = in.text();
    job.password = in.text();
    job.address = in.optional_text();
    if (!in.whole()) return std::nullopt;
    return job;
}

std::optional<worker_answer> read_answer(std::string_view body) {
    body_reader in{body};
    if (in.byte() != answer_mark) return std::nullopt;
    worker_answer answer;
    answer.id = in.u32();
    const std::uint8_t verdict = in.byte();
    if (verdict > static_cast<std::uint8_t>(check_verdict::unavailable)) return std::nullopt;
    answer.verdict = static_cast<check_verdict>(verdict);
    answer.user = in.optional_text();
    answer.maildrop = in.optional_text();
    answer.options = in.optional_text();
    const std::uint64_t high = in.u32();
    answer.uid = static_cast<std::int64_t>(high << 32 | in.u32());
    if (!in.whole()) return std::nullopt;
    return answer;
}

bool is_ready(std::string_view body) { return body.size() == 1 && body[0] == ready_mark; }

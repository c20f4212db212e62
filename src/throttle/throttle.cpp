#include "throttle/throttle.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/ascii_text.h"
#include "config/log.h"
#include "config/number_text.h"
#include "shared_state/shared_state.h"

namespace layout = failure_table_layout;

namespace {

constexpr std::uint32_t largest_limit = 32767;
constexpr std::uint32_t longest_window = 7 * 86400;
// How often the path is looked at for a table removed or replaced: the
// price is one stat(2) a tenth of a second, not one per check.
constexpr std::uint64_t look_interval_ms = 100;
// Slots whose throttle may be over, looked at once a second: the whole
// table every eight seconds, a few microseconds each time.
constexpr std::uint32_t sweep_slots = layout::slot_count / 8;

// A count, seconds or a prefix length: digits alone, as every number of the
// ini file is read.
bool whole_number(std::string_view text, std::uint32_t largest, std::uint32_t& out) {
    const std::optional<long long> number = read_number(text, number_form::digits, 0, largest);
    if (number) out = static_cast<std::uint32_t>(*number);
    return number.has_value();
}

// Words separated by blanks and, where `commas`, by commas too.
std::vector<std::string_view> words_of(std::string_view text, bool commas) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    auto separates = [&](char c) { return is_blank(c) || (commas && c == ','); };
    while (at < text.size()) {
        while (at < text.size() && separates(text[at])) ++at;
        std::size_t end = at;
        while (end < text.size() && !separates(text[end])) ++end;
        if (end > at) words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

bool load_limit(throttle_settings& settings, std::string_view value) {
    const std::vector<std::string_view> words = words_of(value, false);
    std::uint32_t limit = 0, window = 0;
    if (words.size() != 2 || !whole_number(words[0], largest_limit, limit) ||
        !whole_number(words[1], longest_window, window) || (limit > 0 && window == 0))
        return false;
    settings.rules = {limit, window};
    return true;
}

// Why a trusted entry was refused, for its error line.
enum class network_fault { none, unreadable, past_ipv4 };

network_fault load_networks(throttle_settings& settings, std::string_view value,
                            std::string& wrong) {
    std::vector<address_network> networks;
    for (std::string_view word : words_of(value, true)) {
        std::optional<address_network> network = read_network(word);
        if (!network) {
            wrong = std::string(word);
            return network_fault::unreadable;
        }
        if (mapped_past_ipv4(*network)) {
            wrong = std::string(word);
            return network_fault::past_ipv4;
        }
        networks.push_back(*network);
    }
    settings.trusted = std::move(networks);
    return network_fault::none;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string why() { return std::strerror(errno); }

// The machine's monotonic clock, which every process reads alike; the
// coarse one, read without a system call, is exact enough for seconds.
std::uint64_t throttle_milliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace

int throttle_load(throttle_settings& settings, const char* key, const char* value) {
    if (!key || !value) return 0;
    if (ascii_equal_ignoring_case(key, "auth_failure_limit")) {
        if (!load_limit(settings, value))
            error_log(
                "auth_failure_limit takes a count from 0 to %u and seconds from 1 to %u, as in "
                "'auth_failure_limit 10 300', not (%s); setting unchanged",
                largest_limit, longest_window, value);
        return 1;
    }
    if (ascii_equal_ignoring_case(key, "auth_failure_ipv6_prefix")) {
        std::uint32_t bits = 0;
        if (whole_number(value, 128, bits) && bits > 0)
            settings.ipv6_bits = bits;
        else
            error_log(
                "auth_failure_ipv6_prefix takes a prefix length from 1 to 128, not (%s); "
                "setting unchanged",
                value);
        return 1;
    }
    if (ascii_equal_ignoring_case(key, "auth_trusted_networks")) {
        std::string wrong;
        const network_fault fault = load_networks(settings, value, wrong);
        if (fault == network_fault::unreadable)
            error_log(
                "auth_trusted_networks: (%s) is no address or network such as 10.0.0.0/8 "
                "or 2001:db8::/32; setting unchanged",
                wrong.c_str());
        else if (fault == network_fault::past_ipv4)
            error_log(
                "auth_trusted_networks: (%s) counts its prefix out of IPv6's 128 bits and so "
                "holds every IPv4 address; write an IPv4 network as 10.0.0.0/8 or "
                "::ffff:10.0.0.0/104; setting unchanged",
                wrong.c_str());
        return 1;
    }
    if (ascii_equal_ignoring_case(key, "auth_failure_table")) {
        settings.table_path = value;
        return 1;
    }
    return 0;
}

failure_throttle::failure_throttle(const throttle_settings& settings)
    : settings_(settings), shared_(shared_state_of_process()) {
    next_look_ms_ = throttle_milliseconds() + look_interval_ms;
    attach(false);
}

failure_throttle::~failure_throttle() { detach(); }

bool failure_throttle::trusted(const client_address& address) const {
    for (const address_network& network : settings_.trusted)
        if (in_network(address, network)) return true;
    return false;
}

void failure_throttle::report(const std::string& problem) {
    if (problem == reported_) return;
    reported_ = problem;
    error_log("Throttle: table (%s) %s: checks are not throttled until it can be had",
              settings_.table_path.c_str(), problem.c_str());
}

void failure_throttle::detach() {
    table_.reset();
    guard_.reset();
    if (map_) ::munmap(map_, layout::bytes);
    map_ = nullptr;
}

namespace {

// Whose tables a process takes: its own user's, and a root process also
// those of the folder's owner, to whom it gives the tables it makes there
// (that user may replace any file of the folder anyway). Nobody else's:
// their counts would decide whose checks are refused.
bool trusted_owner(uid_t owner, const std::string& path) {
    const uid_t self = ::geteuid();
    if (owner == self) return true;
    struct stat folder {};
    return self == 0 && ::stat(folder_of(path).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) &&
           folder.st_uid == owner;
}

// Whether the file begins as a table of this program, of any version: a
// table cut short keeps its first page. Anything else of another size is
// left alone, so that a path given by mistake never replaces a file.
bool ours(int fd) {
    unsigned char head[sizeof layout::magic];
    const std::uint64_t magic = layout::magic;
    return ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           std::memcmp(head, &magic, sizeof head - 1) == 0;
}

std::string size_problem(off_t size) {
    return "has " + std::to_string(size) + " bytes, not " + std::to_string(layout::bytes);
}

}  // namespace

void failure_throttle::take(void* map, const struct stat& file) {
    map_ = map;
    device_ = file.st_dev;
    inode_ = file.st_ino;
    guard_ = std::make_unique<mapping_guard>(map_, layout::bytes);
    table_ = std::make_unique<failure_table>(map_, settings_.rules);
    reported_.clear();
}

// A file at the path is taken only when it is a table of ours that no other
// user can have written: its counts decide whose checks are refused. A file
// of ours that is no table (empty, a table cut short or of another layout)
// is `unusable`: replaced by a new table.
failure_throttle::opened failure_throttle::open_table(std::string& unusable) {
    const int fd = ::open(settings_.table_path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return opened::missing;
        report("cannot be opened: " + why());
        return opened::refused;
    }
    struct stat file {};
    std::string problem;
    if (::fstat(fd, &file) != 0)
        problem = "cannot be read: " + why();
    else if (!S_ISREG(file.st_mode))
        problem = "is not a regular file";
    else if (!trusted_owner(file.st_uid, settings_.table_path))
        problem = "belongs to another user";
    else if (file.st_mode & (S_IWGRP | S_IWOTH))
        problem = "may be written by other users";
    else if (static_cast<std::size_t>(file.st_size) != layout::bytes) {
        if (file.st_size == 0 || ours(fd))
            unusable = size_problem(file.st_size);
        else
            problem = "is not a throttle table of this program";
    }
    void* map = MAP_FAILED;
    if (problem.empty() && unusable.empty()) {
        map = ::mmap(nullptr, layout::bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED)
            problem = "cannot be mapped: " + why();
        else
            take(map, file);
    }
    ::close(fd);
    if (!problem.empty()) {
        report(problem);
        return opened::refused;
    }
    if (!unusable.empty()) return opened::unusable;
    // Read under the guard: the file may be cut short even now.
    if (failure_table::recognised(map_) && !guard_->lost()) return opened::yes;
    unusable = guard_->lost() ? "was cut short" : "is not a throttle table of this program";
    detach();
    return opened::unusable;
}

// Made whole under a name of its own and then linked into place, so that no
// process ever maps a table half made; when another process was first, its
// table is taken. A file of ours that is no table is replaced by renaming
// over it. The space is reserved when the table is made: a table with
// holes would raise SIGBUS at the first write to a page that a full
// filesystem cannot give. Made by root in a folder that root does not own,
// the table is given to the folder's owner, so that a check run by hand as
// root leaves no table the mail server's processes cannot open.
failure_throttle::made failure_throttle::make_table(bool replace) {
    std::string temporary = settings_.table_path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        report("cannot be made: " + why());
        return made::failed;
    }
    std::string problem;
    struct stat folder {};
    if (::geteuid() == 0 && ::stat(folder_of(settings_.table_path).c_str(), &folder) == 0 &&
        folder.st_uid != 0 && ::fchown(fd, folder.st_uid, folder.st_gid) != 0)
        problem = "cannot be given to the owner of its folder: " + why();
    if (problem.empty()) {
        const int failed = ::posix_fallocate(fd, 0, static_cast<off_t>(layout::bytes));
        if (failed != 0)
            problem = "cannot be made: its " + std::to_string(layout::bytes) +
                      " bytes cannot be reserved: " + std::strerror(failed);
    }
    void* map = MAP_FAILED;
    if (problem.empty()) {
        map = ::mmap(nullptr, layout::bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) problem = "cannot be mapped: " + why();
    }
    made result = made::failed;
    if (problem.empty()) {
        failure_table::initialise(map);
        if (replace ? ::rename(temporary.c_str(), settings_.table_path.c_str()) == 0
                    : ::link(temporary.c_str(), settings_.table_path.c_str()) == 0)
            result = made::yes;
        else if (!replace && errno == EEXIST)
            result = made::exists;
        else
            problem = "cannot be made: " + why();
    }
    struct stat file {};
    if (result == made::yes && ::fstat(fd, &file) != 0) {
        problem = "cannot be read: " + why();
        result = made::failed;
    }
    if (!(replace && result == made::yes)) ::unlink(temporary.c_str());
    ::close(fd);
    if (result != made::yes) {
        if (map != MAP_FAILED) ::munmap(map, layout::bytes);
        if (!problem.empty()) report(problem);
        return result;
    }
    take(map, file);
    return made::yes;
}

// Twice at most: a table another process linked into place meanwhile is
// then opened.
void failure_throttle::attach(bool replacing) {
    for (int attempt = 0; attempt < 2 && !table_; ++attempt) {
        std::string unusable;
        switch (open_table(unusable)) {
        case opened::yes:
        case opened::refused:
            return;
        case opened::missing: {
            const made m = make_table(false);
            if (m == made::yes && replacing)
                notice_log(
                    "Throttle: table (%s) was removed or replaced: made anew, counts start again",
                    settings_.table_path.c_str());
            if (m == made::failed) return;
            break;
        }
        case opened::unusable:
            if (make_table(true) == made::yes)
                notice_log("Throttle: table (%s) %s: replaced by a new one, counts start again",
                           settings_.table_path.c_str(), unusable.c_str());
            return;
        }
    }
}

// The path is looked at every tenth of a second; a page of the table found
// cut under a check (the guard lost) makes the look at once.
bool failure_throttle::attached(std::uint64_t now_ms) {
    const bool lost = guard_ && guard_->lost();
    if (!lost && now_ms < next_look_ms_) return table_ != nullptr;
    next_look_ms_ = now_ms + look_interval_ms;
    struct stat file {};
    if (!lost && table_ && ::stat(settings_.table_path.c_str(), &file) == 0 &&
        file.st_dev == device_ && file.st_ino == inode_ &&
        static_cast<std::size_t>(file.st_size) == layout::bytes &&
        failure_table::recognised(map_) && !guard_->lost())
        return true;
    const bool replacing = table_ != nullptr;
    detach();
    attach(replacing);
    return table_ != nullptr;
}

void failure_throttle::log_end(const ended_throttle& ended) const {
    const std::string network = ended.network ? network_text(*ended.network) : "an address";
    notice_log("Throttle off for %s: %llu checks refused while it lasted", network.c_str(),
               static_cast<unsigned long long>(ended.refused));
}

void failure_throttle::sweep(std::uint32_t now) {
    if (now == swept_second_) return;
    swept_second_ = now;
    next_sweep_ = table_->sweep(next_sweep_, sweep_slots, now,
                                [this](const ended_throttle& ended) { log_end(ended); });
}

bool failure_throttle::refuses(const client_address& address) {
    if (trusted(address)) return false;
    const std::uint64_t ms = throttle_milliseconds();
    if (!attached(ms)) return false;
    const std::uint32_t now = static_cast<std::uint32_t>(ms / 1000);
    ended_throttle ended;
    const bool refused = table_->refuses(counted_network(address, settings_.ipv6_bits), now, ended);
    if (ended.any) log_end(ended);
    sweep(now);
    return refused;
}

void failure_throttle::failed(const client_address& address, std::string_view user,
                              std::string_view password) {
    if (trusted(address)) return;
    const std::uint64_t ms = throttle_milliseconds();
    if (!attached(ms)) return;
    const address_network network = counted_network(address, settings_.ipv6_bits);
    ended_throttle ended;
    const failure_counted counted =
        table_->failed(network, user, password, static_cast<std::uint32_t>(ms / 1000), ended);
    if (ended.any) log_end(ended);
    if (counted == failure_counted::throttle_began)
        notice_log(
            "Throttle on for %s: %u failed checks within %u s; its checks are refused "
            "for %u s",
            network_text(network).c_str(), settings_.rules.limit, settings_.rules.window,
            settings_.rules.window);
    else if (counted == failure_counted::repeated)
        debug_log("...Throttle: the same wrong password again, not counted");
    else if (counted == failure_counted::no_room)
        debug_log("...Throttle: no room for %s, not counted", network_text(network).c_str());
    // A repeat here is one for every host: Redis holds the same print.
    if (shared_ && counted != failure_counted::repeated)
        count_shared(network, user, password, static_cast<std::uint32_t>(ms / 1000));
}

void failure_throttle::count_shared(const address_network& network, std::string_view user,
                                    std::string_view password, std::uint32_t now) {
    std::string bytes(reinterpret_cast<const char*>(network.base.bytes.data()), 16);
    bytes += static_cast<char>(network.bits);
    const std::optional<shared_state::failure_count> shared =
        shared_->count_failure(bytes, user, password, settings_.rules.window);
    if (!shared || shared->count < settings_.rules.limit) return;
    ended_throttle ended;
    if (table_->throttle_for(network, shared->seconds_left, now, ended))
        notice_log(
            "Throttle on for %s: %u failed checks on every host together within %u s; its checks "
            "are refused for %u s",
            network_text(network).c_str(), shared->count, settings_.rules.window,
            shared->seconds_left);
    if (ended.any) log_end(ended);
}

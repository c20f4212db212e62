// The service's one epoll loop, shared by its rooms (the clients', the
// workers' and the process's own). Each descriptor is watched under a tag
// naming its room and a number the room knows it by, so that the loop
// hands every event to its room without knowing what the descriptor is.
#pragma once

#include <sys/epoll.h>
#include <unistd.h>

#include <cstdint>

enum class watch_tag : std::uint64_t {
    listener = 1,
    client = 2,
    worker = 3,
    signal = 4,
    check = 5,
    client_set = 6,  // the clients' own loop, ready when one of its clients is
    worker_bell = 7  // a worker's word that answers wait on its socket
};

class event_loop {
public:
    event_loop() = default;
    event_loop(const event_loop&) = delete;
    event_loop& operator=(const event_loop&) = delete;
    ~event_loop() { close(); }

    bool open() {
        fd_ = ::epoll_create1(EPOLL_CLOEXEC);
        return fd_ >= 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void watch(int fd, std::uint32_t events, watch_tag tag, std::uint64_t number) {
        control(EPOLL_CTL_ADD, fd, events, tag, number);
    }
    void change(int fd, std::uint32_t events, watch_tag tag, std::uint64_t number) {
        control(EPOLL_CTL_MOD, fd, events, tag, number);
    }
    void forget(int fd) { ::epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr); }

    int fd() const { return fd_; }
    int wait(epoll_event* events, int max, int timeout_ms) {
        return ::epoll_wait(fd_, events, max, timeout_ms);
    }
    static watch_tag tag_of(std::uint64_t data) { return static_cast<watch_tag>(data >> 56); }
    static std::uint64_t number_of(std::uint64_t data) { return data & ((1ull << 56) - 1); }

private:
    void control(int op, int fd, std::uint32_t events, watch_tag tag, std::uint64_t number) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = static_cast<std::uint64_t>(tag) << 56 | number;
        ::epoll_ctl(fd_, op, fd, &event);
    }

    int fd_ = -1;
};

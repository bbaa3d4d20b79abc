// The worker's wait: descriptors watched with epoll and one-shot timers in a heap, so that
// the cost of a wait grows with what is ready or due, not with the robots configured.
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <vector>

class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    // False when epoll could not be set up; setUpError() says why.
    bool valid() const { return epollFd >= 0; }
    int setUpError() const { return createError; }

    // Reports fd with key when it becomes readable (or writable), once per arrival: its
    // owner takes everything there is (a short read empties a socket) before the next wait.
    bool watch(int fd, bool writable, uint32_t key);
    // Stops reporting fd; called before it is closed.
    void unwatch(int fd);

    // A timer for key at atMs (monotonic). Timers are never cancelled: the owner tells a
    // timer that is no longer wanted by its time.
    void arm(uint32_t key, int64_t atMs);
    // The earliest armed time; false when no timer is armed.
    bool nextTimer(int64_t *atMs) const;
    // Takes the next timer due at nowMs or earlier.
    bool takeDue(int64_t nowMs, uint32_t *key, int64_t *atMs);

    // Waits up to timeoutMs for ready descriptors. Their number (0 on time-out), or -1 with
    // errno set.
    int wait(int timeoutMs);
    uint32_t readyKey(int i) const { return ready[size_t(i)].data.u32; }
    uint32_t readyEvents(int i) const { return ready[size_t(i)].events; }
    // A wait that returns this many may have left more ready descriptors behind.
    static constexpr int maxReady = 256;

private:
    struct Timer {
        int64_t atMs;
        uint32_t key;
        bool operator>(const Timer &o) const { return atMs > o.atMs; }
    };

    int epollFd = -1;
    int createError = 0;
    std::vector<epoll_event> ready;
    std::vector<Timer> timers; // a min-heap on atMs
};

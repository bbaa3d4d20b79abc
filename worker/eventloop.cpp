#include "eventloop.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <unistd.h>

EventLoop::EventLoop() : epollFd(epoll_create1(EPOLL_CLOEXEC)), ready(maxReady) {
    if (epollFd < 0)
        createError = errno;
    timers.reserve(1024);
}

EventLoop::~EventLoop() {
    if (epollFd >= 0)
        ::close(epollFd);
}

bool EventLoop::watch(int fd, bool writable, uint32_t key) {
    epoll_event event{};
    // Edge-triggered: a descriptor is reported when something new arrives, and not looked
    // at again at every wait while its owner has already taken what was there.
    event.events = (writable ? EPOLLOUT : EPOLLIN) | EPOLLET;
    event.data.u32 = key;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0)
        return true;
    return errno == EEXIST && epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event) == 0;
}

void EventLoop::unwatch(int fd) {
    epoll_event unused{};
    epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, &unused);
}

void EventLoop::arm(uint32_t key, int64_t atMs) {
    timers.push_back({atMs, key});
    std::push_heap(timers.begin(), timers.end(), std::greater<Timer>());
}

bool EventLoop::nextTimer(int64_t *atMs) const {
    if (timers.empty())
        return false;
    *atMs = timers.front().atMs;
    return true;
}

bool EventLoop::takeDue(int64_t nowMs, uint32_t *key, int64_t *atMs) {
    if (timers.empty() || timers.front().atMs > nowMs)
        return false;
    std::pop_heap(timers.begin(), timers.end(), std::greater<Timer>());
    *key = timers.back().key;
    *atMs = timers.back().atMs;
    timers.pop_back();
    return true;
}

int EventLoop::wait(int timeoutMs) {
    return epoll_wait(epollFd, ready.data(), maxReady, timeoutMs);
}

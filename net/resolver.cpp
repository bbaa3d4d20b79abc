#include "resolver.h"

#include <QHash>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <dlfcn.h>
#include <mutex>
#include <netdb.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A lookup left running past shutdown returns into this library's code: the library must
// stay mapped even if the host unloads the plug-in meanwhile.
void keepLibraryLoaded() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void *>(&keepLibraryLoaded), &self) && self.dli_fname)
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE); // never closed
}

struct Entry {
    bool known = false; // address holds the last good answer
    in_addr address{};
    int64_t resolvedAtMs = 0;
    int64_t askedAtMs = 0; // start of the last lookup; 0 before the first
    bool inFlight = false;
    bool failureToTell = false; // a lookup of a never resolved name failed; told once
};

struct LookupThread {
    std::thread thread;
    bool busy = false; // in getaddrinfo
};

} // namespace

struct Resolver::Shared {
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<QString> queue;
    QHash<QString, Entry> entries;
    std::deque<LookupThread> threads; // never moved: each thread finds its own by index
    int idle = 0;
    bool quit = false;
    int wakeFd = -1;
};

bool Resolver::lookUpNow(const QString &host, in_addr *address) {
    // getaddrinfo rather than gethostbyname: the host process may resolve names on other
    // threads too, and gethostbyname's shared storage is not safe for that.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const bool resolved = !host.isEmpty() &&
                          getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &list) == 0 &&
                          list;
    if (resolved)
        *address = reinterpret_cast<const sockaddr_in *>(list->ai_addr)->sin_addr;
    if (list)
        freeaddrinfo(list);
    return resolved;
}

namespace {

void serve(std::shared_ptr<Resolver::Shared> shared, size_t slot) {
    pthread_setname_np(pthread_self(), "ur-resolver"); // as seen in top and ps
    Resolver::Shared &s = *shared;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.queued.wait(lock, [&s] { return s.quit || !s.queue.empty(); });
        if (s.quit)
            return;
        const QString host = s.queue.front();
        s.queue.pop_front();
        --s.idle;
        s.threads[slot].busy = true;
        lock.unlock();

        in_addr address{};
        const bool resolved = Resolver::lookUpNow(host, &address);

        lock.lock();
        s.threads[slot].busy = false;
        if (s.quit)
            return; // the resolver is gone; nothing to tell
        ++s.idle;
        Entry &entry = s.entries[host];
        entry.inFlight = false;
        if (resolved) {
            entry.known = true;
            entry.address = address;
            entry.resolvedAtMs = nowMs();
        } else {
            entry.failureToTell = !entry.known;
        }
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(s.wakeFd, &one, sizeof one);
    }
}

// Queues a lookup of host; starts a thread when none is idle and there is room. Caller holds
// the mutex.
void ask(const std::shared_ptr<Resolver::Shared> &shared, const QString &host, Entry &entry,
         int64_t now) {
    Resolver::Shared &s = *shared;
    entry.inFlight = true;
    entry.askedAtMs = now;
    s.queue.push_back(host);
    if (s.idle == 0 && int(s.threads.size()) < Resolver::maxThreads) {
        s.threads.emplace_back();
        try {
            s.threads.back().thread = std::thread(serve, shared, s.threads.size() - 1);
            ++s.idle;
        } catch (const std::system_error &) {
            s.threads.pop_back(); // a process or cgroup limit: no exception into the host
        }
    }
    if (s.threads.empty()) {
        // Nobody to ask: this lookup has failed, and is tried again when due.
        s.queue.pop_back();
        entry.inFlight = false;
        entry.failureToTell = !entry.known;
        return;
    }
    s.queued.notify_one();
}

} // namespace

Resolver::Resolver(int refreshMs, int retryMs)
    : shared(std::make_shared<Shared>()), refreshMs(refreshMs), retryMs(retryMs) {
    shared->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Resolver::~Resolver() {
    shutdown();
}

Resolver::State Resolver::lookup(const QString &host, in_addr *address) {
    Shared &s = *shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.quit)
        return State::Failed;
    const int64_t now = nowMs();
    Entry &entry = s.entries[host];
    const bool due = !entry.inFlight && (entry.askedAtMs == 0 || now - entry.askedAtMs >= retryMs);
    if (entry.known) {
        if (due && now - entry.resolvedAtMs >= refreshMs)
            ask(shared, host, entry, now);
        *address = entry.address;
        return State::Resolved;
    }
    if (due)
        ask(shared, host, entry, now);
    if (entry.failureToTell) {
        entry.failureToTell = false;
        return State::Failed;
    }
    return State::Pending;
}

int Resolver::notificationFd() const {
    return shared->wakeFd;
}

void Resolver::clearNotification() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = ::read(shared->wakeFd, &count, sizeof count);
}

void Resolver::shutdown() {
    Shared &s = *shared;
    std::deque<std::thread> finishing;
    bool leftRunning = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.quit)
            return;
        s.quit = true;
        // Closed under the lock: a lookup that ends later sees quit and writes nothing.
        if (s.wakeFd >= 0)
            ::close(s.wakeFd);
        s.wakeFd = -1;
        for (LookupThread &t : s.threads) {
            if (t.busy) {
                t.thread.detach();
                leftRunning = true;
            } else {
                finishing.push_back(std::move(t.thread));
            }
        }
        // The slots stay: a thread left running finds its own when its lookup ends.
    }
    s.queued.notify_all();
    if (leftRunning)
        keepLibraryLoaded();
    // Idle threads wake to quit at once.
    for (std::thread &t : finishing)
        t.join();
}

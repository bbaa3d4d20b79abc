// Host name lookups on a thread of their own, so that a slow name server never holds the
// worker loop. The thread is started by the first lookup and joined by the destructor
// (which waits for a lookup in flight: getaddrinfo cannot be cancelled).
#pragma once

#include <QHash>
#include <QString>

#include <netinet/in.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class Resolver {
public:
    enum class State { Pending, Resolved, Failed };

    Resolver();
    ~Resolver();
    Resolver(const Resolver &) = delete;
    Resolver &operator=(const Resolver &) = delete;

    // The finished lookup of host, which is then forgotten (the next call asks the name
    // server again); Pending starts a lookup if none is queued or running.
    State take(const QString &host, in_addr *address);
    // Becomes readable when a lookup finishes; drain it with clearNotification().
    int notificationFd() const { return wakeFds[0]; }
    void clearNotification();

private:
    struct Answer {
        bool finished = false;
        bool resolved = false;
        in_addr address{};
    };
    void serve();

    std::mutex mutex;
    std::condition_variable queued;
    std::deque<QString> queue;
    QHash<QString, Answer> answers; // every host asked for, until its answer is taken
    std::thread thread;
    bool quit = false;
    int wakeFds[2] = {-1, -1};
};

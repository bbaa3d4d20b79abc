// Host name lookups off the worker loop, so that a slow or dead name server never holds it.
//
// Each name keeps its last good address: robots configured by name reconnect to it while a
// fresh lookup runs or fails, so a name-server outage does not take them off the line. A
// known name is looked up again now and then; a name that fails is asked again at most every
// few seconds. A few lookup threads serve all names, so one name that hangs in the name
// server does not hold the others.
//
// getaddrinfo cannot be cancelled: shutdown() never waits for a lookup in flight. Such a
// lookup finishes on its own thread, touching only state that it shares with this object,
// and the library stays loaded for it.
#pragma once

#include <QString>

#include <netinet/in.h>

#include <memory>

class Resolver {
public:
    enum class State { Pending, Resolved, Failed };

    // A known name is looked up again after this long.
    static constexpr int defaultRefreshMs = 60000;
    // A name whose lookup failed is not asked again before this long.
    static constexpr int defaultRetryMs = 5000;
    static constexpr int maxThreads = 4;

    explicit Resolver(int refreshMs = defaultRefreshMs, int retryMs = defaultRetryMs);
    ~Resolver(); // shutdown()
    Resolver(const Resolver &) = delete;
    Resolver &operator=(const Resolver &) = delete;

    // The address of host. Resolved with the last good address whenever there is one;
    // otherwise Pending while a lookup runs or is not yet due again, and Failed once for
    // each lookup that fails. A thread that cannot be started counts as a failed lookup.
    State lookup(const QString &host, in_addr *address);
    // One lookup on the calling thread, waiting as long as the name server takes.
    static bool lookUpNow(const QString &host, in_addr *address);
    // Becomes readable when a lookup finishes; drain it with clearNotification().
    int notificationFd() const;
    void clearNotification();
    // Stops the lookup threads that are idle; leaves those in a lookup to finish alone.
    void shutdown();

    struct Shared;

private:
    std::shared_ptr<Shared> shared;
    const int refreshMs;
    const int retryMs;
};

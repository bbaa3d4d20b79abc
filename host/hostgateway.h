// The plug-in's one way into the host's service object. Calls are serialised by one lock
// (not recursive), held for one host call at a time, so that no caller waits for more than
// one call of another; code that holds it never logs. Every layer of the plug-in calls the
// host through here. A host call that throws costs that call only: nothing escapes from here.
//
// The worker never waits for the host: between startQueue() and stopQueue(), the log lines
// and item offers of the thread that started the queue go to the host in order on a thread
// of our own, while the worker goes on reading robots. A read cycle's lines join them, so
// that a reader does not wait for the host for each of its lines. Other calls of other
// threads are made directly.
#pragma once

#include "noruplugin.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <cstdint>
#include <functional>

class HostGateway {
public:
    static PluginInterface service; // this plug-in's host service object
    static QMutex mutex;            // the host-interface lock

    static void logDebug(const QString &message);
    static void logInfo(const QString &message);
    static void logWarning(const QString &message);
    static void logError(const QString &message);
    // A read cycle's lines: behind the running queue's calls, so that the caller never waits
    // for the host to take them; made at once when no queue runs.
    static void logDebugQueued(const QString &message);
    static void logErrorQueued(const QString &message);
    static void addHeartBeat(DeviceInstancePlugin *device);
    // The configured devices, fetched under the lock; none when the host fails.
    static QList<DeviceInstancePlugin> devices();
    // The same, false with the reason when the host's call threw.
    static bool devices(QList<DeviceInstancePlugin> *list, QString *failure);
    // One host call of a thread that makes a series of them (init): under the lock for that
    // call alone, after the callers already waiting for it. False with the reason when it threw.
    static bool inSeries(const std::function<void()> &call, QString *failure = nullptr);
    // One item for the host to store.
    static void addItem(const ItemInstancePlugin &item);
    static QString dataDirectory();

    // Log lines waiting for the host beyond this many are dropped and counted; item offers are
    // bounded by what the robots may offer, and a second offer of a waiting uid is merged.
    static constexpr int maxQueuedLines = 1000;
    // At the stop, waiting log lines are still written for this long; item offers are not.
    static constexpr int stopGraceMs = 500;
    // An item offer that the host failed is made again after this long.
    static constexpr int offerRetryMs = 1000;
    // Queues this thread's host calls until stopQueue().
    static void startQueue();
    // Lets the call in progress finish and starts no queued call once stopGraceMs have passed
    // after it; then says what was not made, where it was: the lines lost (all of them) and the
    // item offers left.
    static void stopQueue();
    struct QueueFigures {
        uint64_t made = 0, merged = 0, dropped = 0;
    };
    // Of the queue now running, or of the last one.
    static QueueFigures queueFigures();

    // Program variables and message titles are items keyed by their bare name, so robots
    // that use the same name share one item and only one robot's values are logged. The
    // first robot to use a name is remembered; when a robot at another address uses it too,
    // the operator is told once for the pair.
    static void claimItemName(const QString &name, const DeviceInstancePlugin &robot);
    // A new worker run starts with no names claimed.
    static void forgetItemNames();
};

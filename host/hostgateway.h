// The plug-in's one way into the host's service object. Calls are serialised by one lock
// (not recursive), held for one host call at a time, so that no caller waits for more than
// one call of another; code that holds it never logs. Every layer of the plug-in calls the
// host through here.
//
// The worker never waits for the host: between startQueue() and stopQueue(), the log lines
// and item offers of the thread that started the queue go to the host in order on a thread
// of our own, while the worker goes on reading robots. Other threads call the host directly.
#pragma once

#include "noruplugin.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <cstdint>

class HostGateway {
public:
    static PluginInterface service; // this plug-in's host service object
    static QMutex mutex;            // the host-interface lock

    static void logDebug(const QString &message);
    static void logInfo(const QString &message);
    static void logWarning(const QString &message);
    static void logError(const QString &message);
    static void addHeartBeat(DeviceInstancePlugin *device);
    // The configured devices, fetched under the lock.
    static QList<DeviceInstancePlugin> devices();
    // One item for the host to store.
    static void addItem(const ItemInstancePlugin &item);
    static QString dataDirectory();

    // Log lines waiting for the host beyond this many are dropped and counted; item offers are
    // bounded by what the robots may offer, and a second offer of a waiting uid is merged.
    static constexpr int maxQueuedLines = 1000;
    // At the stop, waiting log lines are still written for this long; item offers are not.
    static constexpr int stopGraceMs = 500;
    // Queues this thread's host calls until stopQueue().
    static void startQueue();
    // Lets the call in progress finish, writes waiting log lines for at most stopGraceMs and
    // drops the rest, with a line that says what was not made.
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

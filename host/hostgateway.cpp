#include "hostgateway.h"

#include <QHash>
#include <QMutexLocker>
#include <QPair>
#include <QSet>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>

PluginInterface HostGateway::service;
QMutex HostGateway::mutex;

namespace {

using LogLevel = void (PluginInterface::*)(QString);

struct Claim {
    int deviceId = 0;
    QString address;
    QString robot; // name and address, as the operator knows it
};

// Item names and their first robot; its own lock, never held while logging.
QMutex claimsMutex;
QHash<QString, Claim> claims;
QSet<QPair<int, int>> toldPairs;

QString robotLabel(const DeviceInstancePlugin &robot) {
    return robot.name.isEmpty()
               ? robot.address
               : robot.name + QStringLiteral(" (") + robot.address + QLatin1Char(')');
}

// Callers on the host's threads that came for the lock, and those that got it. The queue's
// thread lets those already waiting go first: the lock itself is not fair, and a thread that
// takes it again at once after each of its calls could otherwise keep a reader waiting for a
// whole series of calls. Those who come later wait for one queued call at most.
std::atomic<uint64_t> directArrived{0};
std::atomic<uint64_t> directServed{0};

// Runs one host call under the lock; queued calls give way to direct ones already waiting.
template <typename Call> void underLock(bool queued, Call &&call) {
    if (queued) {
        const uint64_t waiting = directArrived.load();
        while (directServed.load() < waiting)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        QMutexLocker lock(&HostGateway::mutex);
        call();
        return;
    }
    ++directArrived;
    QMutexLocker lock(&HostGateway::mutex);
    ++directServed;
    call();
}

void callLogged(LogLevel level, const QString &message, bool queued = false) {
    underLock(queued, [&] { (HostGateway::service.*level)(message); });
}

void callAddItem(ItemInstancePlugin item, bool queued = false) {
    underLock(queued, [&] { HostGateway::service.addPluginItem(&item); });
}

// --- The worker's host calls, made in order on a thread of our own -------------------------

struct QueuedCall {
    LogLevel level = nullptr; // a log line; null for an item offer
    QString text;             // the line, or the uid of the offered item
};

struct CallQueue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<QueuedCall> calls;
    QHash<QString, ItemInstancePlugin> offers; // the waiting offers, by uid
    int lines = 0;                             // log lines among calls
    uint64_t droppedSinceTold = 0;
    bool stopping = false;
    bool graceStarted = false;
    std::chrono::steady_clock::time_point stopBy;
    HostGateway::QueueFigures figures;
    std::thread thread;
};

// The running queue and the thread whose calls go to it. Not thread-local storage: in a
// library loaded at run time that is allocated for every thread that touches it, which leak
// checkers walk at exit. Only the owner ever uses or deletes the queue.
std::atomic<CallQueue *> runningQueue{nullptr};
std::atomic<std::thread::id> queueOwner{std::thread::id()};

CallQueue *ownQueue() {
    CallQueue *q = runningQueue.load(std::memory_order_acquire);
    return q && queueOwner.load() == std::this_thread::get_id() ? q : nullptr;
}
std::mutex figuresLock;
HostGateway::QueueFigures lastFigures; // of the last queue, once it is stopped

QString droppedText(uint64_t lines) {
    return QString::number(lines) +
           QStringLiteral(" log lines of the plug-in were dropped while the host was slow to "
                          "take them");
}

// Caller holds q->lock.
void enqueueLine(CallQueue *q, LogLevel level, const QString &message) {
    if (q->lines >= HostGateway::maxQueuedLines) {
        ++q->droppedSinceTold;
        ++q->figures.dropped;
        return;
    }
    // The gap is told where it was, once the host has caught up a little.
    if (q->droppedSinceTold > 0 && q->lines < HostGateway::maxQueuedLines / 2) {
        q->calls.push_back({&PluginInterface::logError, droppedText(q->droppedSinceTold)});
        q->droppedSinceTold = 0;
        ++q->lines;
    }
    q->calls.push_back({level, message});
    ++q->lines;
}

void serve(CallQueue *q) {
    pthread_setname_np(pthread_self(), "ur-host-calls"); // as seen in top and ps
    std::unique_lock<std::mutex> lock(q->lock);
    for (;;) {
        q->wake.wait(lock, [q] { return q->stopping || !q->calls.empty(); });
        if (q->calls.empty())
            return;
        QueuedCall call = std::move(q->calls.front());
        q->calls.pop_front();
        ItemInstancePlugin item;
        if (call.level) {
            --q->lines;
        } else {
            item = q->offers.take(call.text);
        }
        if (q->stopping && !q->graceStarted) {
            // The grace counts from the end of the call that was in progress at the stop.
            q->graceStarted = true;
            q->stopBy = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(HostGateway::stopGraceMs);
        }
        if (q->stopping && (!call.level || std::chrono::steady_clock::now() >= q->stopBy)) {
            ++q->figures.dropped;
            continue;
        }
        ++q->figures.made;
        lock.unlock();
        try {
            if (call.level)
                callLogged(call.level, call.text, true);
            else
                callAddItem(item, true);
        } catch (...) {
            // A host call that throws loses that call, never the queue.
        }
        lock.lock();
    }
}

// A call of the worker thread: queued when its queue runs.
bool queued(LogLevel level, const QString &message) {
    CallQueue *q = ownQueue();
    if (!q)
        return false;
    {
        std::lock_guard<std::mutex> guard(q->lock);
        enqueueLine(q, level, message);
    }
    q->wake.notify_one();
    return true;
}

void logAt(LogLevel level, const QString &message) {
    if (!queued(level, message))
        callLogged(level, message);
}

} // namespace

void HostGateway::logDebug(const QString &message) {
    logAt(&PluginInterface::logDebug, message);
}

void HostGateway::logInfo(const QString &message) {
    logAt(&PluginInterface::logInfo, message);
}

void HostGateway::logWarning(const QString &message) {
    logAt(&PluginInterface::logWarning, message);
}

void HostGateway::logError(const QString &message) {
    logAt(&PluginInterface::logError, message);
}

void HostGateway::addHeartBeat(DeviceInstancePlugin *device) {
    underLock(false, [device] { service.watchdogAddHeartbeat(device); });
}

QList<DeviceInstancePlugin> HostGateway::devices() {
    QList<DeviceInstancePlugin> list;
    underLock(false, [&list] { list = service.getPluginDevices(); });
    return list;
}

void HostGateway::addItem(const ItemInstancePlugin &item) {
    CallQueue *q = ownQueue();
    if (!q) {
        callAddItem(item);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(q->lock);
        auto waiting = q->offers.find(item.uid);
        if (waiting != q->offers.end()) {
            *waiting = item; // the newer offer, in the older one's place
            ++q->figures.merged;
            return;
        }
        q->offers.insert(item.uid, item);
        q->calls.push_back({nullptr, item.uid});
    }
    q->wake.notify_one();
}

QString HostGateway::dataDirectory() {
    return service.dataDirectory;
}

void HostGateway::startQueue() {
    if (runningQueue.load())
        return; // one worker at a time
    auto q = std::make_unique<CallQueue>();
    try {
        q->thread = std::thread(serve, q.get());
    } catch (const std::system_error &) {
        return; // a process or cgroup limit: this thread's calls stay direct
    }
    queueOwner = std::this_thread::get_id();
    runningQueue.store(q.release(), std::memory_order_release);
}

void HostGateway::stopQueue() {
    CallQueue *q = ownQueue();
    if (!q)
        return;
    runningQueue = nullptr; // from here on this thread calls the host itself
    queueOwner = std::thread::id();
    {
        std::lock_guard<std::mutex> guard(q->lock);
        q->stopping = true;
        // Told first, while there is time: log lines still waiting after the grace are only
        // counted, since the host is too slow to take them.
        if (!q->offers.isEmpty()) {
            q->calls.push_front({&PluginInterface::logError,
                                 QStringLiteral("Stopped before the host took ") +
                                     QString::number(q->offers.size()) +
                                     QStringLiteral(" items; they are offered again at the next "
                                                    "start if their robot still needs them")});
            ++q->lines;
        }
        if (q->droppedSinceTold > 0) {
            q->calls.push_front({&PluginInterface::logError, droppedText(q->droppedSinceTold)});
            q->droppedSinceTold = 0;
            ++q->lines;
        }
    }
    q->wake.notify_one();
    q->thread.join(); // the call in progress, then log lines for stopGraceMs at most
    {
        std::lock_guard<std::mutex> guard(figuresLock);
        lastFigures = q->figures;
    }
    delete q;
}

HostGateway::QueueFigures HostGateway::queueFigures() {
    if (CallQueue *q = ownQueue()) {
        std::lock_guard<std::mutex> guard(q->lock);
        return q->figures;
    }
    std::lock_guard<std::mutex> guard(figuresLock);
    return lastFigures;
}

void HostGateway::claimItemName(const QString &name, const DeviceInstancePlugin &robot) {
    QString first;
    {
        QMutexLocker lock(&claimsMutex);
        auto found = claims.constFind(name);
        if (found == claims.constEnd()) {
            claims.insert(name, {robot.id, robot.address.trimmed(), robotLabel(robot)});
            return;
        }
        // Devices of one address are one robot configured twice, told once at the start.
        if (found->deviceId == robot.id || found->address == robot.address.trimmed())
            return;
        const QPair<int, int> pair(qMin(found->deviceId, robot.id),
                                   qMax(found->deviceId, robot.id));
        if (toldPairs.contains(pair))
            return;
        toldPairs.insert(pair);
        first = found->robot;
    }
    logError(QStringLiteral("Robot ") + robotLabel(robot) + QStringLiteral(" uses the name \"") +
             name + QStringLiteral("\" that robot ") + first +
             QStringLiteral(" already turned into an item. Program variables and message titles "
                            "are items keyed by their name alone: both robots share one item, and "
                            "only one robot's values are logged. Give them different names on each "
                            "robot"));
}

void HostGateway::forgetItemNames() {
    QMutexLocker lock(&claimsMutex);
    claims.clear();
    toldPairs.clear();
}

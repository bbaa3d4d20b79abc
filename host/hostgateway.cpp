#include "hostgateway.h"

#include <QHash>
#include <QMutexLocker>
#include <QPair>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
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

// Callers on the host's threads that came for the lock, and those that got it. Callers that
// make a series of calls (the queue's thread, init) let those already waiting go first: the
// lock itself is not fair, and a thread that takes it again at once after each of its calls
// could otherwise keep a reader waiting for a whole series of calls. Those who come later
// wait for one call of the series at most.
std::atomic<uint64_t> directArrived{0};
std::atomic<uint64_t> directServed{0};

QString failureText(const std::exception_ptr &failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception &e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    return QStringLiteral("unknown error");
}

// Makes the call with the lock held by the caller; a throw costs this call only.
template <typename Call> bool guarded(Call &&call, QString *failure) {
    try {
        call();
        return true;
    } catch (...) {
        if (failure)
            *failure = failureText(std::current_exception());
        return false;
    }
}

template <typename Call> bool direct(Call &&call, QString *failure = nullptr) {
    ++directArrived;
    QMutexLocker lock(&HostGateway::mutex);
    ++directServed;
    return guarded(call, failure);
}

void giveWay() {
    const uint64_t waiting = directArrived.load();
    while (directServed.load() < waiting)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void callLogged(LogLevel level, const QString &message) {
    direct([&] { (HostGateway::service.*level)(message); });
}

// --- The worker's host calls, made in order on a thread of our own -------------------------

struct QueuedCall {
    LogLevel level = nullptr; // a log line; null for an item offer
    QString text;             // the line, or the uid of the offered item
    uint64_t told = 0;        // a notice of this many dropped lines
};

using Clock = std::chrono::steady_clock;

struct CallQueue {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<QueuedCall> calls;
    QHash<QString, ItemInstancePlugin> offers; // the waiting offers, by uid
    std::deque<std::pair<Clock::time_point, QString>> retries; // failed offers, by time due
    int lines = 0;                             // log lines among calls
    uint64_t droppedSinceTold = 0;
    bool offerFailing = false; // told once until an offer is taken again
    bool accepting = true;     // false once the stop has counted what it lost
    bool stopping = false;
    bool inCall = false;
    bool graceStarted = false;
    int offersAtStop = 0;
    Clock::time_point stopBy;
    HostGateway::QueueFigures figures;
    std::thread thread;
};

// The running queue and the thread whose calls go to it. Not thread-local storage: in a
// library loaded at run time that is allocated for every thread that touches it, which leak
// checkers walk at exit. The owner uses it without more ado, since only the owner deletes it;
// other threads (readers) reach it under queueRegistry.
std::atomic<CallQueue *> runningQueue{nullptr};
std::atomic<std::thread::id> queueOwner{std::thread::id()};
std::mutex queueRegistry;
// Lines of readers that came while a stop was saying what it lost: told at the next start.
std::atomic<uint64_t> lostAtStop{0};

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

QueuedCall notice(uint64_t lines) {
    return {&PluginInterface::logError, droppedText(lines), lines};
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
        q->calls.push_back(notice(q->droppedSinceTold));
        q->droppedSinceTold = 0;
        ++q->lines;
    }
    q->calls.push_back({level, message});
    ++q->lines;
}

// Caller holds q->lock. Once the stop's grace has passed, no queued call starts.
bool graceOver(const CallQueue *q) {
    return q->graceStarted && Clock::now() >= q->stopBy;
}

// Caller holds q->lock.
void startGrace(CallQueue *q) {
    q->graceStarted = true;
    q->stopBy = Clock::now() + std::chrono::milliseconds(HostGateway::stopGraceMs);
}

// The host-interface lock for one queued call: after the direct callers already waiting, and
// never once the stop's grace is over, however long another thread holds the lock.
bool takeLock(CallQueue *q, std::unique_lock<std::mutex> &queueLock) {
    const uint64_t waiting = directArrived.load();
    for (;;) {
        if (graceOver(q))
            return false;
        queueLock.unlock();
        bool taken = false;
        if (directServed.load() >= waiting)
            taken = HostGateway::mutex.tryLock(2);
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        queueLock.lock();
        if (taken && !graceOver(q))
            return true;
        if (taken)
            HostGateway::mutex.unlock();
    }
}

// Caller holds q->lock: offers whose pause is over go to the end of the queue again.
void offerAgain(CallQueue *q) {
    while (!q->retries.empty() && q->retries.front().first <= Clock::now()) {
        const QString uid = q->retries.front().second;
        q->retries.pop_front();
        if (q->offers.contains(uid))
            q->calls.push_back({nullptr, uid});
    }
}

// Caller holds q->lock. The stop's own lines: the lines lost, where the gap is (after every
// line made), and the offers left. Lines of readers that come meanwhile are told at the next
// start.
void closeQueue(CallQueue *q, std::unique_lock<std::mutex> &queueLock) {
    uint64_t lost = q->droppedSinceTold;
    for (const QueuedCall &call : q->calls) {
        if (call.level) {
            lost += call.told > 0 ? call.told : 1;
            q->figures.dropped += call.told > 0 ? 0 : 1;
        }
    }
    q->calls.clear();
    q->droppedSinceTold = 0;
    q->accepting = false;
    const int offersLeft = q->offersAtStop;
    queueLock.unlock();
    if (lost > 0)
        callLogged(&PluginInterface::logError, droppedText(lost));
    if (offersLeft > 0)
        callLogged(&PluginInterface::logError,
                   QStringLiteral("Stopped before the host took ") + QString::number(offersLeft) +
                       QStringLiteral(" items; they are offered again at the next start if their "
                                      "robot still needs them"));
    queueLock.lock();
}

void serve(CallQueue *q) {
    pthread_setname_np(pthread_self(), "ur-host-calls"); // as seen in top and ps
    std::unique_lock<std::mutex> lock(q->lock);
    for (;;) {
        offerAgain(q);
        if (q->calls.empty() && !q->stopping) {
            if (q->retries.empty())
                q->wake.wait(lock);
            else
                q->wake.wait_until(lock, q->retries.front().first);
            continue;
        }
        if (q->calls.empty() || graceOver(q))
            break;
        QueuedCall call = std::move(q->calls.front());
        q->calls.pop_front();
        ItemInstancePlugin item;
        if (call.level)
            --q->lines;
        else
            item = q->offers.take(call.text);
        if (!takeLock(q, lock)) {
            if (call.level) {
                q->calls.push_front(std::move(call)); // lost, and counted as such
                ++q->lines;
            } else {
                ++q->offersAtStop;
                ++q->figures.dropped;
            }
            break;
        }
        q->inCall = true;
        ++q->figures.made;
        lock.unlock();
        QString failure;
        const bool made = guarded(
            [&] {
                if (call.level)
                    (HostGateway::service.*call.level)(call.text);
                else
                    HostGateway::service.addPluginItem(&item);
            },
            &failure);
        HostGateway::mutex.unlock();
        lock.lock();
        q->inCall = false;
        if (q->stopping && !q->graceStarted)
            startGrace(q); // the grace counts from the end of the call in progress at the stop
        if (call.level)
            continue; // a line the host failed is lost: telling it would be another line
        if (made) {
            q->offerFailing = false;
            continue;
        }
        if (q->stopping) {
            ++q->offersAtStop; // told with the offers left
            continue;
        }
        if (!q->offerFailing)
            enqueueLine(q, &PluginInterface::logError,
                        QStringLiteral("The host failed to store item ") + call.text +
                            QStringLiteral(": ") + failure +
                            QStringLiteral(". It is offered again"));
        q->offerFailing = true;
        if (q->offers.contains(call.text))
            continue; // a newer offer of the uid came meanwhile and waits its turn
        q->offers.insert(call.text, item);
        q->retries.emplace_back(Clock::now() + std::chrono::milliseconds(HostGateway::offerRetryMs),
                                call.text);
    }
    closeQueue(q, lock);
}

// A line of a thread that must not wait for the host: queued when a queue runs.
bool queuedForAnyThread(LogLevel level, const QString &message) {
    std::lock_guard<std::mutex> registry(queueRegistry);
    CallQueue *q = runningQueue.load();
    if (!q)
        return false;
    {
        std::lock_guard<std::mutex> guard(q->lock);
        if (!q->accepting) {
            ++lostAtStop;
            return true;
        }
        enqueueLine(q, level, message);
    }
    q->wake.notify_one();
    return true;
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

void HostGateway::logDebugQueued(const QString &message) {
    if (!queued(&PluginInterface::logDebug, message) &&
        !queuedForAnyThread(&PluginInterface::logDebug, message))
        callLogged(&PluginInterface::logDebug, message);
}

void HostGateway::logErrorQueued(const QString &message) {
    if (!queued(&PluginInterface::logError, message) &&
        !queuedForAnyThread(&PluginInterface::logError, message))
        callLogged(&PluginInterface::logError, message);
}

void HostGateway::addHeartBeat(DeviceInstancePlugin *device) {
    direct([device] { service.watchdogAddHeartbeat(device); });
}

QList<DeviceInstancePlugin> HostGateway::devices() {
    QList<DeviceInstancePlugin> list;
    devices(&list, nullptr);
    return list;
}

bool HostGateway::devices(QList<DeviceInstancePlugin> *list, QString *failure) {
    QList<DeviceInstancePlugin> fetched;
    if (!direct([&fetched] { fetched = service.getPluginDevices(); }, failure))
        return false;
    *list = fetched;
    return true;
}

bool HostGateway::inSeries(const std::function<void()> &call, QString *failure) {
    giveWay();
    QMutexLocker lock(&mutex);
    return guarded(call, failure);
}

void HostGateway::addItem(const ItemInstancePlugin &item) {
    CallQueue *q = ownQueue();
    if (!q) {
        direct([&item] {
            ItemInstancePlugin copy = item;
            service.addPluginItem(&copy);
        });
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
    // Readers' lines that a stop could not tell any more: the gap is here.
    if (const uint64_t lost = lostAtStop.exchange(0)) {
        q->calls.push_back(notice(lost));
        ++q->lines;
    }
    try {
        q->thread = std::thread(serve, q.get());
    } catch (const std::system_error &) {
        lostAtStop += q->calls.empty() ? 0 : q->calls.front().told;
        return; // a process or cgroup limit: this thread's calls stay direct
    }
    queueOwner = std::this_thread::get_id();
    std::lock_guard<std::mutex> registry(queueRegistry);
    runningQueue.store(q.release(), std::memory_order_release);
}

void HostGateway::stopQueue() {
    CallQueue *q = ownQueue();
    if (!q)
        return;
    {
        std::lock_guard<std::mutex> guard(q->lock);
        q->stopping = true;
        if (!q->inCall)
            startGrace(q);
        // Offers are not made at the stop: the host is too slow for them; they are told.
        q->offersAtStop = q->offers.size();
        q->figures.dropped += uint64_t(q->offers.size());
        q->offers.clear();
        q->retries.clear();
        q->calls.erase(std::remove_if(q->calls.begin(), q->calls.end(),
                                      [](const QueuedCall &call) { return !call.level; }),
                       q->calls.end());
        // The lines dropped last are told after the lines before them, where the gap is.
        if (q->droppedSinceTold > 0) {
            q->calls.push_back(notice(q->droppedSinceTold));
            q->droppedSinceTold = 0;
            ++q->lines;
        }
    }
    q->wake.notify_one();
    q->thread.join(); // the call in progress, lines for stopGraceMs at most, the stop's lines
    {
        std::lock_guard<std::mutex> registry(queueRegistry);
        runningQueue = nullptr; // from here on every thread calls the host itself
        queueOwner = std::thread::id();
    }
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

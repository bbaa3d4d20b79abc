#include "urworker.h"

#include "eventloop.h"
#include "hostgateway.h"
#include "resolver.h"
#include "robotlink.h"
#include "socket.h"
#include "urwrapper.h"

#include <QHash>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <cstring>
#include <exception>
#include <limits>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

QList<urinstance> WorkerClass::robots;
std::atomic<bool> WorkerClass::run{false};
std::atomic<bool> WorkerClass::done{true};

namespace {

const int startDelayMs = 2500;
const int startDelaySliceMs = 50;
// The longest single wait, so that a stop is noticed within it.
const int sliceMs = 100;
// Changed records reach readers this often.
const int publishEveryMs = 20;
// With many robots, arrivals are gathered over this long rather than woken for one by one.
const int gatherMs = 10;
const int gatherAbove = 8;
// Timers are served up to this late, so that those due close together (robots that never
// answer time out all the time) take one wake-up, not one each.
const int timerSlackMs = 10;
const uint32_t resolverKey = std::numeric_limits<uint32_t>::max();
// Descriptors the host process keeps for itself beside one per robot.
const int descriptorsSpare = 64;

int openDescriptors() {
    int count = 0;
    if (DIR *fds = opendir("/proc/self/fd")) {
        while (readdir(fds))
            ++count;
        closedir(fds);
    }
    return count; // "." and ".." and the listing's own descriptor err on the safe side
}

// A host process usually starts with a soft limit of 1024 open files, far below what the
// system allows it. Raised only when the robots need more, and only as far as they need:
// the programs the host starts inherit the limit. Returns the limit in force.
long fitDescriptorLimit(int robots) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    const rlim_t needed = rlim_t(openDescriptors()) + rlim_t(robots) + descriptorsSpare;
    if (limit.rlim_cur == RLIM_INFINITY || needed <= limit.rlim_cur ||
        limit.rlim_cur >= limit.rlim_max)
        return long(limit.rlim_cur);
    rlimit raised = limit;
    raised.rlim_cur = std::min(needed, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
        return long(limit.rlim_cur);
    HostGateway::logInfo(QStringLiteral("Raised the open files limit of the host process from ") +
                         QString::number(qulonglong(limit.rlim_cur)) + QStringLiteral(" to ") +
                         QString::number(qulonglong(raised.rlim_cur)) + QStringLiteral(" for ") +
                         QString::number(robots) + QStringLiteral(" robots"));
    return long(raised.rlim_cur);
}

// Two devices of one address are one robot configured twice: two connections to one
// controller, and one item name "shared" between them. Told once per pair.
void tellDevicesOfOneAddress(const QList<urinstance> &robots) {
    QHash<QString, int> first;
    for (int i = 0; i < robots.size(); ++i) {
        const DeviceInstancePlugin &device = robots.at(i).device;
        const QString address = device.address.trimmed();
        const auto seen = first.constFind(address);
        if (seen == first.constEnd()) {
            first.insert(address, i);
            continue;
        }
        const DeviceInstancePlugin &earlier = robots.at(seen.value()).device;
        HostGateway::logError(QStringLiteral("Robots ") + earlier.name + QStringLiteral(" (id ") +
                              QString::number(earlier.id) + QStringLiteral(") and ") +
                              device.name + QStringLiteral(" (id ") +
                              QString::number(device.id) +
                              QStringLiteral(") are both configured with the address ") +
                              address +
                              QStringLiteral(": one robot configured twice, read over two "
                                             "connections. Remove one of the devices"));
    }
}

} // namespace

// One run of the loop: what lives from the set-up to the stop.
struct WorkerClass::Loop {
    EventLoop events;
    Resolver names;
    URWrapper decoder;
    robotlink::Services services;
    std::vector<robotlink::Link> links;
    int64_t nextPublishMs = 0;
    bool waitFailing = false;

    ~Loop() {
        for (robotlink::Link &link : links)
            link.close(); // also when the loop ends by an exception
    }
};

WorkerClass::WorkerClass(QObject *parent) : QObject(parent) {
    done.store(true);
    run.store(false);
}

WorkerClass::~WorkerClass() = default;

void WorkerClass::work() {
    // The starter has already claimed the loop (done false, run true) before starting the
    // thread, so a stop that came in the meantime is seen here and honoured.
    done.store(false);
    QString lastFailure;
    try {
        // Whatever this thread says to the host from here on, the host takes in its time.
        HostGateway::startQueue();
    } catch (...) {
        // Without a queue this thread's calls go to the host directly.
    }
    for (;;) {
        try {
            runLoop(); // also when stopped before it began: the stop is told the same way
            break;
        } catch (...) {
            // Nothing may escape into the host's process, and nothing ends the worker for good:
            // the loop's sockets are closed, readers told that no robot is connected, and the
            // loop starts again after its start delay. The same failure again is not retold.
            QString failure = QStringLiteral("unknown error");
            try {
                throw;
            } catch (const std::exception &e) {
                failure = QString::fromLocal8Bit(e.what());
            } catch (...) {
            }
            try {
                withdraw();
                if (failure != lastFailure)
                    HostGateway::logError(QStringLiteral("Worker loop failed: ") + failure +
                                          QStringLiteral(". Starting it again"));
                lastFailure = failure;
            } catch (...) {
            }
        }
        if (!run.load())
            break;
    }
    try {
        HostGateway::stopQueue();
    } catch (...) {
    }
    done.store(true);
}

namespace {

// The host's device list. A call that fails is told once and tried again at the next pass,
// then at a growing interval; false when a stop comes first.
const int devicesRetryMaxMs = 5000;

bool fetchDevices(QList<DeviceInstancePlugin> *devices) {
    QString failure;
    int pauseMs = sliceMs;
    for (bool told = false; WorkerClass::run.load(); told = true) {
        if (HostGateway::devices(devices, &failure))
            return true;
        if (!told)
            HostGateway::logError(QStringLiteral("Could not get the devices from the host: ") +
                                  failure + QStringLiteral(". Trying again"));
        for (int slept = 0; slept < pauseMs && WorkerClass::run.load(); slept += startDelaySliceMs)
            QThread::msleep(unsigned(std::min(startDelaySliceMs, pauseMs - slept)));
        pauseMs = std::min(2 * pauseMs, devicesRetryMaxMs);
    }
    return false;
}

} // namespace

void WorkerClass::runLoop() {
    robots.clear();
    // Sleep before the set-up, but let a stop cut it short.
    for (int slept = 0; slept < startDelayMs && run.load(); slept += startDelaySliceMs)
        QThread::msleep(startDelaySliceMs);

    Loop loop;
    if (run.load())
        setUp(loop);
    while (run.load())
        turn(loop);
    stopAll(loop);
}

void WorkerClass::setUp(Loop &loop) {
    HostGateway::forgetItemNames();
    QList<DeviceInstancePlugin> devices;
    if (!fetchDevices(&devices))
        return;
    const long limit = fitDescriptorLimit(devices.size());
    for (int i = 0; i < devices.size() && run.load(); ++i) {
        urinstance robot;
        robot.waitUntil = robotlink::noWait();
        robot.connected = false;
        robot.device = devices.at(i);
        robot.initialized = false;
        robot.socketFd = 0;
        robots.append(robot);
        addDefaultRobotItemsToDatabase(&robots[i]);
    }
    tellDevicesOfOneAddress(robots);
    if (limit >= 0 && robots.size() + descriptorsSpare > limit)
        HostGateway::logError(QStringLiteral("The open files limit of the host process (") +
                              QString::number(limit) + QStringLiteral(") is too low for ") +
                              QString::number(robots.size()) +
                              QStringLiteral(" robots. Raise it, or some robots cannot be "
                                             "connected"));
    if (!loop.events.valid())
        HostGateway::logError(QStringLiteral("Cannot wait for robot data: ") +
                              Socket::errorText(loop.events.setUpError()));

    loop.services.events = &loop.events;
    loop.services.resolver = &loop.names;
    loop.services.decoder = &loop.decoder;
    loop.services.publication = &publication;
    loop.events.watch(loop.names.notificationFd(), false, resolverKey);
    loop.links.reserve(size_t(robots.size()));
    for (int i = 0; i < robots.size(); ++i)
        loop.links.emplace_back(uint32_t(i), &robots[i], &loop.services);

    // The first connections of all robots at once; a failure imposes the error wait. The
    // records are published when every first attempt has ended.
    const int64_t now = monotonicMs();
    for (robotlink::Link &link : loop.links)
        link.startFirstAttempt(now);
    auto pending = [&loop] {
        for (const robotlink::Link &link : loop.links) {
            if (!link.setUpDone())
                return true;
        }
        return false;
    };
    while (run.load() && pending())
        turn(loop);
    for (urinstance &robot : robots)
        robot.initialized = true;
    publication.publishAll(robots);
    loop.nextPublishMs = monotonicMs() + publishEveryMs;
}

void WorkerClass::turn(Loop &loop) {
    const int64_t start = monotonicMs();
    // Never longer than a slice, so a stop is seen in time, with or without timers.
    int64_t until = start + sliceMs;
    int64_t timer = 0;
    if (loop.events.nextTimer(&timer) && timer - start < sliceMs)
        until = timer < start ? timer : std::min(until, timer + timerSlackMs);
    if (publication.hasChanges())
        until = std::min(until, loop.nextPublishMs);
    const int ready = loop.events.wait(int(std::max<int64_t>(0, until - start)));
    if (ready < 0 && errno != EINTR) {
        // Under memory pressure the wait itself can fail: robots are not to blame. Timers
        // still run; they look at the sockets themselves before failing anyone.
        if (!loop.waitFailing)
            HostGateway::logError(QStringLiteral("Waiting for robot data failed: ") +
                                  Socket::errorText(errno) + QStringLiteral(". Trying again"));
        loop.waitFailing = true;
        QThread::msleep(10);
    } else if (ready >= 0) {
        loop.waitFailing = false;
    }

    const int64_t now = monotonicMs();
    for (int i = 0; i < ready; ++i) {
        const uint32_t key = loop.events.readyKey(i);
        if (key != resolverKey) {
            loop.links[key].socketReady(now);
            continue;
        }
        loop.names.clearNotification();
        for (robotlink::Link &link : loop.links)
            link.lookupDone(now);
    }
    serveTimers(loop);
    publishIfDue(loop, monotonicMs());

    // Many robots: let arrivals gather for a moment rather than waking for each.
    if (ready > 0 && ready < EventLoop::maxReady && loop.links.size() > size_t(gatherAbove)) {
        const int64_t rest = start + gatherMs - monotonicMs();
        if (rest > 0)
            QThread::usleep(unsigned(rest * 1000));
    }
}

void WorkerClass::serveTimers(Loop &loop) {
    const int64_t now = monotonicMs();
    uint32_t key = 0;
    int64_t at = 0;
    while (loop.events.takeDue(now, &key, &at))
        loop.links[key].timerDue(at, now);
}

void WorkerClass::publishIfDue(Loop &loop, int64_t nowMs) {
    if (!publication.hasPublished() || !publication.hasChanges() || nowMs < loop.nextPublishMs)
        return;
    // A busy lock: tried again at the next turn, whatever changes meanwhile.
    loop.nextPublishMs = nowMs + (publication.publishChanged(robots) ? publishEveryMs : 1);
}

void WorkerClass::stopAll(Loop &loop) {
    HostGateway::logInfo(QStringLiteral("Worker loop stopped. Closing connections"));
    HostGateway::logDebug(QStringLiteral("Closing socket connections"));
    // Connections still being set up as well as open ones: none may leak into the host.
    for (robotlink::Link &link : loop.links)
        link.close();
    loop.links.clear();
    withdraw();
    loop.names.shutdown(); // never waits for a lookup in flight
}

void WorkerClass::withdraw() {
    // Readers that come while the stop or a new start is still under way find no robot
    // connected, rather than the last values of connections that are closed.
    if (publication.hasPublished()) {
        for (urinstance &robot : robots)
            robot.connected = false;
        publication.publishAll(robots);
    }
    robots.clear();
}

bool WorkerClass::connectToRobot(urinstance *robot, bool waitOnError) {
    if (robot->connected) {
        HostGateway::logDebug(QStringLiteral("connectToRobot(): already connected to robot."));
        return true;
    }
    robotlink::attemptStarted(robot, false);
    const QString host = robot->device.address.trimmed();
    in_addr address{};
    NetResult result;
    int fd = -1;
    bool known = Socket::numericAddress(host, &address);
    if (!known)
        known = Resolver::lookUpNow(host, &address);
    if (!known) {
        result.outcome = NetOutcome::Unresolved;
    } else {
        result = Socket::startConnect(address, 30001, &fd);
        if (result.outcome == NetOutcome::Connecting) {
            pollfd one{fd, POLLOUT, 0};
            if (::poll(&one, 1, robotlink::connectTimeoutMs) > 0) {
                result = Socket::finishConnect(fd);
            } else {
                ::close(fd);
                result.outcome = NetOutcome::TimedOut;
            }
        }
    }
    return robotlink::attemptFinished(robot, result, fd, waitOnError, false);
}

void WorkerClass::setRobotAvailability(urinstance *robot, bool available, bool waitOnError) {
    robotlink::setAvailability(robot, available, waitOnError);
}

urinstance WorkerClass::getData(QString address, bool *found) {
    return publication.find(address, found);
}

bool WorkerClass::hasPublished() {
    return publication.hasPublished();
}

bool WorkerClass::giveUp(const QString &address) {
    QMutexLocker lock(&givenUpMutex);
    if (givenUpAddresses.contains(address))
        return false;
    givenUpAddresses.insert(address);
    return true;
}

bool WorkerClass::givenUp(const QString &address) {
    QMutexLocker lock(&givenUpMutex);
    return givenUpAddresses.contains(address);
}

#include "urworker.h"

#include "hostgateway.h"
#include "resolver.h"
#include "robotlink.h"
#include "socket.h"
#include "urwrapper.h"

#include <QMutexLocker>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <poll.h>
#include <unistd.h>
#include <vector>

QList<urinstance> WorkerClass::robots;
std::atomic<bool> WorkerClass::run{false};
std::atomic<bool> WorkerClass::done{true};

namespace {

const int robotPort = 30001;
const int readWaitMs = 500;
const int startDelayMs = 2500;
const int passSleepMs = 50;
const int publishLockMs = 200;
// The longest single poll, so that a stop is noticed within it.
const int pollSliceMs = 100;
// While a pass still waits on slow robots, the sockets of the others fill up again. One
// read more at the end of the wait, for robots last read at least this long before, makes
// what the pass publishes their newest values rather than ones as old as the wait.
const int refreshAfterMs = 50;
// With many robots still to answer, wake-ups are gathered over this long instead of one
// poll per arriving message.
const int gatherMs = 2;
const int gatherAbove = 8;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// One robot's part of a pass.
struct Step {
    enum Stage { Resolving, Connecting, Reading, Read, Finished };
    urinstance *robot = nullptr;
    Stage stage = Finished;
    int fd = -1;
    int64_t deadline = 0;
    int64_t readAt = 0;
};

NetResult outcome(NetOutcome kind, int error = 0, const char *call = nullptr) {
    NetResult result;
    result.outcome = kind;
    result.error = error;
    result.failedCall = call;
    return result;
}

} // namespace

WorkerClass::WorkerClass(QObject *parent) : QObject(parent) {
    done.store(true);
    run.store(false);
}

WorkerClass::~WorkerClass() = default;

void WorkerClass::work() {
    URWrapper decoder;
    Resolver names;
    wrapper = &decoder;
    resolver = &names;
    looping = true;

    // The starter has already claimed the loop (done false, run true) before starting
    // the thread, so a stop that came in the meantime is seen here and honoured.
    done.store(false);
    robots.clear();

    // Sleep before the set-up, but let a stop cut it short.
    for (int slept = 0; slept < startDelayMs && run.load(); slept += passSleepMs)
        QThread::msleep(passSleepMs);

    if (run.load()) {
        const QList<DeviceInstancePlugin> devices = HostGateway::devices();
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
        // The first connections of all robots at once; a failure imposes the error wait.
        QList<urinstance *> all;
        for (int i = 0; i < robots.size(); ++i)
            all << &robots[i];
        PassOptions setUp;
        setUp.waitOnError = true;
        setUp.announce = false;
        setUp.read = false;
        serve(all, {}, setUp);
        for (urinstance *robot : all)
            robot->initialized = true;
        publish(true);
    }

    while (run.load()) {
        const QDateTime start = QDateTime::currentDateTimeUtc();
        QList<urinstance *> toConnect, toRead;
        std::vector<robotlink::Visible> before;
        before.reserve(size_t(robots.size()));
        for (int i = 0; i < robots.size(); ++i) {
            urinstance *robot = &robots[i];
            before.push_back(robotlink::visible(*robot, start));
            switch (robotlink::stateAt(*robot, start)) {
            case robotlink::State::Waiting:
                break;
            case robotlink::State::Reconnect:
                toConnect << robot;
                break;
            case robotlink::State::Connected:
                toRead << robot;
                break;
            }
        }
        const bool data = serve(toConnect, toRead, PassOptions());

        // Publish after data, and whenever what the read cycle sees of a connection changed:
        // a robot that went away must not go on looking connected.
        const QDateTime end = QDateTime::currentDateTimeUtc();
        bool changed = false;
        for (int i = 0; i < robots.size() && !changed; ++i)
            changed = robotlink::visible(robots.at(i), end) != before[size_t(i)];
        if (data || changed)
            publish(false);
        QThread::msleep(passSleepMs);
    }

    HostGateway::logInfo(QStringLiteral("Worker loop stopped. Closing connections"));
    HostGateway::logDebug(QStringLiteral("Closing socket connections"));
    for (int i = 0; i < robots.size(); ++i)
        robotlink::closeSocket(&robots[i]);
    robots.clear();
    wrapper = nullptr;
    resolver = nullptr;
    looping = false;
    done.store(true);
}

bool WorkerClass::serve(const QList<urinstance *> &toConnect, const QList<urinstance *> &toRead,
                        const PassOptions &options) {
    // Outside the loop (a single attempt on its own) there is no stop to watch for.
    auto stopping = [this] { return looping && !run.load(); };
    bool data = false;
    std::vector<Step> steps;
    steps.reserve(size_t(toConnect.size() + toRead.size()));

    auto read = [&](Step &step, int64_t now) {
        QByteArray bytes;
        const NetResult result = Socket::readAvailable(step.fd, &bytes);
        if (result.outcome == NetOutcome::Silent)
            return false;
        if (result.outcome == NetOutcome::Data) {
            wrapper->wrapMessage(step.robot, bytes);
            data = true;
            step.stage = Step::Read;
            step.readAt = now;
        } else {
            step.stage = Step::Finished;
        }
        robotlink::readFinished(step.robot, result);
        return true;
    };
    auto finishAttempt = [&](Step &step, const NetResult &result, int fd) {
        step.stage = Step::Finished;
        if (robotlink::attemptFinished(step.robot, result, fd, options.waitOnError,
                                       options.announce) &&
            options.read) {
            step.stage = Step::Reading;
            step.fd = fd;
            step.deadline = nowMs() + readWaitMs;
        }
    };
    auto connectTo = [&](Step &step, in_addr address) {
        int fd = -1;
        const NetResult result = Socket::startConnect(address, robotPort, &fd);
        if (result.outcome == NetOutcome::Connecting) {
            step.stage = Step::Connecting;
            step.fd = fd;
            step.deadline = nowMs() + robotlink::connectTimeoutMs;
        } else {
            finishAttempt(step, result, fd);
        }
    };
    // False while the lookup runs.
    auto lookUp = [&](Step &step) {
        in_addr address{};
        switch (resolver->take(step.robot->device.address, &address)) {
        case Resolver::State::Resolved:
            connectTo(step, address);
            return true;
        case Resolver::State::Failed:
            finishAttempt(step, outcome(NetOutcome::Unresolved), -1);
            return true;
        case Resolver::State::Pending:
            break;
        }
        return false;
    };

    // All connection attempts start together.
    for (urinstance *robot : toConnect) {
        if (stopping())
            break;
        robotlink::attemptStarted(robot, options.announce);
        Step step;
        step.robot = robot;
        const QString &host = robot->device.address;
        in_addr address{};
        if (host.isEmpty()) {
            finishAttempt(step, outcome(NetOutcome::Unresolved), -1);
        } else if (Socket::numericAddress(host, &address)) {
            connectTo(step, address); // an IP address never waits on a lookup
        } else {
            step.stage = Step::Resolving;
            step.deadline = nowMs() + robotlink::connectTimeoutMs;
            lookUp(step);
        }
        steps.push_back(step);
    }
    if (options.read) {
        const int64_t deadline = nowMs() + readWaitMs;
        for (urinstance *robot : toRead) {
            Step step;
            step.robot = robot;
            step.stage = Step::Reading;
            step.fd = robot->socketFd;
            step.deadline = deadline;
            steps.push_back(step);
        }
    }

    // Then one wait for all of them: connections to complete, lookups to finish, data.
    std::vector<pollfd> fds;
    std::vector<size_t> owners;
    for (bool first = true;; first = false) {
        fds.clear();
        owners.clear();
        bool resolving = false;
        int reading = 0;
        int64_t next = std::numeric_limits<int64_t>::max();
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step &step = steps[i];
            if (step.stage == Step::Resolving) {
                resolving = true;
            } else if (step.stage == Step::Connecting || step.stage == Step::Reading) {
                fds.push_back(
                    {step.fd, short(step.stage == Step::Connecting ? POLLOUT : POLLIN), 0});
                owners.push_back(i);
                reading += step.stage == Step::Reading;
            } else {
                continue;
            }
            next = std::min(next, step.deadline);
        }
        if (next == std::numeric_limits<int64_t>::max())
            break;
        if (stopping()) {
            // Stopping: attempts still connecting are dropped; open sockets are the stop
            // sequence's to close.
            for (Step &step : steps) {
                if (step.stage == Step::Connecting)
                    ::close(step.fd);
            }
            break;
        }
        if (resolving) {
            fds.push_back({resolver->notificationFd(), POLLIN, 0});
            owners.push_back(steps.size());
        }
        if (!first && reading > gatherAbove && next - nowMs() > gatherMs)
            QThread::msleep(gatherMs);
        const int timeout =
            int(std::max<int64_t>(0, std::min<int64_t>(next - nowMs(), pollSliceMs)));
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        const int pollError = ready < 0 && errno != EINTR ? errno : 0;
        const int64_t now = nowMs();

        for (size_t k = 0; k < fds.size(); ++k) {
            if (owners[k] == steps.size())
                continue;
            Step &step = steps[owners[k]];
            const bool due = now >= step.deadline;
            if (step.stage == Step::Connecting) {
                if (pollError) {
                    ::close(step.fd);
                    finishAttempt(step, outcome(NetOutcome::Refused, pollError, "select"), -1);
                } else if (fds[k].revents) {
                    finishAttempt(step, Socket::finishConnect(step.fd), step.fd);
                } else if (due) {
                    ::close(step.fd);
                    finishAttempt(step, outcome(NetOutcome::TimedOut), -1);
                }
            } else if (step.stage == Step::Reading) {
                if (fds[k].revents && read(step, now))
                    continue;
                if (due || pollError) {
                    step.stage = Step::Finished;
                    robotlink::readFinished(step.robot, outcome(NetOutcome::Silent));
                }
            }
        }
        if (resolving) {
            resolver->clearNotification();
            for (Step &step : steps) {
                // A lookup still running at its deadline fails this attempt, quietly.
                if (step.stage == Step::Resolving && !lookUp(step) && now >= step.deadline)
                    finishAttempt(step, outcome(NetOutcome::Connecting), -1);
            }
        }
    }

    // Robots read early in a long wait are read once more, so the newest values win.
    const int64_t end = nowMs();
    for (Step &step : steps) {
        if (step.stage == Step::Read && end - step.readAt >= refreshAfterMs &&
            step.robot->socketOpen && !stopping())
            read(step, end);
    }
    return data;
}

void WorkerClass::publish(bool wait) {
    if (wait)
        publishMutex.lock();
    else if (!publishMutex.tryLock(publishLockMs))
        return; // the next pass that changes anything publishes
    publishedRobots = robots;
    published.store(true);
    publishMutex.unlock();
}

bool WorkerClass::connectToRobot(urinstance *robot, bool waitOnError) {
    if (robot->connected) {
        HostGateway::logDebug(QStringLiteral("connectToRobot(): already connected to robot."));
        return true;
    }
    std::unique_ptr<Resolver> own;
    if (!resolver) {
        own.reset(new Resolver);
        resolver = own.get();
    }
    PassOptions options;
    options.waitOnError = waitOnError;
    options.announce = false;
    options.read = false;
    serve({robot}, {}, options);
    if (own)
        resolver = nullptr;
    return robot->connected;
}

void WorkerClass::setRobotAvailability(urinstance *robot, bool available, bool waitOnError) {
    robotlink::setAvailability(robot, available, waitOnError);
}

urinstance WorkerClass::getData(QString address, bool *found) {
    urinstance result;
    *found = false;
    if (!publishMutex.tryLock(publishLockMs))
        return result;
    for (const urinstance &robot : qAsConst(publishedRobots)) {
        if (robot.device.address == address) {
            result = robot;
            *found = true;
            break;
        }
    }
    publishMutex.unlock();
    return result;
}

bool WorkerClass::hasPublished() {
    return published.load();
}

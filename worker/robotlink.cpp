#include "robotlink.h"

#include "eventloop.h"
#include "hostgateway.h"
#include "publication.h"
#include "resolver.h"
#include "urwrapper.h"

#include <sys/resource.h>
#include <unistd.h>

namespace robotlink {

namespace {

const int robotPort = 30001;

NetResult outcome(NetOutcome kind, int error = 0) {
    NetResult result;
    result.outcome = kind;
    result.error = error;
    return result;
}

long openFilesLimit() {
    rlimit limit{};
    return getrlimit(RLIMIT_NOFILE, &limit) == 0 ? long(limit.rlim_cur) : -1;
}

} // namespace

QDateTime noWait() {
    return QDateTime::currentDateTimeUtc().addYears(-1);
}

void closeSocket(urinstance *robot) {
    if (!robot->socketOpen)
        return;
    ::close(robot->socketFd);
    robot->socketOpen = false;
}

void setAvailability(urinstance *robot, bool available, bool waitOnError) {
    if (waitOnError && !available) {
        // The wait has begun by the time its line is logged.
        const int wait = robot->device.getErrorWaitTimeSeconds();
        robot->retryAtMs = monotonicMs() + int64_t(wait) * 1000;
        robot->waitUntil = QDateTime::currentDateTimeUtc().addSecs(wait);
        robot->connected = false;
        HostGateway::logError(QStringLiteral("Error connecting/reading to robot ") +
                              robot->device.address + QStringLiteral(" Waiting another ") +
                              QString::number(wait) +
                              QStringLiteral(" seconds before trying again"));
        return;
    }
    if (robot->retryAtMs != 0) {
        robot->retryAtMs = 0;
        robot->waitUntil = noWait();
    }
    robot->connected = available;
}

void attemptStarted(urinstance *robot, bool announce) {
    if (announce)
        HostGateway::logInfo(QStringLiteral("Reconnecting robot ") + robot->device.address);
    robot->connected = false;
    closeSocket(robot);
    robot->pendingBytes.clear();
    robot->decodedAtMs = {}; // values of an earlier connection are old from now on
    robot->utilisation.previous = {}; // no span or start is counted across connections
}

bool attemptFinished(urinstance *robot, const NetResult &result, int fd, bool waitOnError,
                     bool announce) {
    const QString &host = robot->device.address;
    switch (result.outcome) {
    case NetOutcome::Opened:
        robot->socketFd = fd;
        robot->socketOpen = true;
        HostGateway::logDebug(QStringLiteral("Connected to robot @ ") + host);
        break;
    case NetOutcome::Unresolved:
        HostGateway::logError(QStringLiteral("Eror resolving host: ") + host);
        break;
    case NetOutcome::TimedOut:
        HostGateway::logError(QStringLiteral("Timeout connecting to robot: ") + host +
                              QStringLiteral(" Timeout: ") + QString::number(connectTimeoutMs) +
                              QStringLiteral("ms"));
        break;
    case NetOutcome::Refused: {
        const QString error = Socket::errorText(result.error);
        if (result.failedCall && qstrcmp(result.failedCall, "select") == 0)
            HostGateway::logError(QStringLiteral("Error connecting to robot (select): ") + host +
                                  QStringLiteral(" Error: ") + error);
        else if (result.failedCall)
            HostGateway::logError(QStringLiteral("Error fcntl ") +
                                  QLatin1String(result.failedCall) + QLatin1Char(' ') + error);
        else
            HostGateway::logError(QStringLiteral("Error connecting to robot: ") + host +
                                  QStringLiteral(" Error: ") + error);
        break;
    }
    default:
        // A name lookup still running: a failed attempt for this robot, told once the
        // lookup fails for good.
        break;
    }
    const bool opened = result.outcome == NetOutcome::Opened;
    setAvailability(robot, opened, waitOnError);
    if (opened && announce)
        HostGateway::logInfo(QStringLiteral("Connection opened to robot ") + host);
    return opened;
}

void readFinished(urinstance *robot, ReadEnd end, const NetResult &result, int messages,
                  int robotStates, int64_t nowMs) {
    // Messages decoded before a read failed are the robot's all the same.
    if (messages > 0)
        robot->dataReceived = true;
    if (robotStates > 0)
        robot->lastStateMs = nowMs;
    if (end == ReadEnd::Data) {
        if (!robot->connected || robot->retryAtMs != 0)
            setAvailability(robot, true, false);
        robot->errorCount = 0;
        return;
    }
    const int fd = robot->socketFd;
    closeSocket(robot);
    if (end == ReadEnd::Closed)
        HostGateway::logError(QStringLiteral("Error reading from robot ") + robot->device.address +
                              QStringLiteral(" - ") + Socket::errorText(result.error) +
                              QStringLiteral(" Read bytes: ") + QString::number(result.count) +
                              QStringLiteral(" FD: ") + QString::number(fd));
    if (robot->connected)
        HostGateway::logInfo(QStringLiteral("Disconnected from robot ") + robot->device.name +
                             QStringLiteral(" IP: ") + robot->device.address);
    if (robot->errorCount > 1) {
        setAvailability(robot, false, true);
        robot->errorCount = 0;
    }
    robot->errorCount += 1;
}

// --- Link ----------------------------------------------------------------------------------

Link::Link(uint32_t key, urinstance *record, Services *services)
    : key(key), record(record), services(services),
      target(record->device.address.trimmed()) {} // a blank pasted with it is no part of it

void Link::startFirstAttempt(int64_t nowMs) {
    beginAttempt(nowMs);
}

void Link::enter(Stage stage, int64_t atMs) {
    current = stage;
    timerAtMs = atMs;
    services->events->arm(key, atMs);
}

void Link::changed() {
    services->publication->markChanged(int(key));
}

void Link::beginAttempt(int64_t nowMs) {
    if (record->socketOpen)
        services->events->unwatch(record->socketFd);
    attemptStarted(record, !firstAttempt);
    in_addr address{};
    if (Socket::numericAddress(target, &address)) {
        connectTo(address, nowMs); // an IP address never waits on a lookup
        return;
    }
    if (!addressTold && Socket::ipv6Literal(target)) {
        addressTold = true;
        HostGateway::logError(QStringLiteral("Robot ") + record->device.address +
                              QStringLiteral(": only IPv4 addresses and host names are "
                                             "supported, not IPv6 addresses"));
    }
    // Anything else is a name, an empty one too: its failures are paced by the resolver.
    if (!connectToLookedUp(nowMs))
        enter(Stage::Resolving, nowMs + connectTimeoutMs);
}

bool Link::connectToLookedUp(int64_t nowMs) {
    in_addr address{};
    switch (services->resolver->lookup(target, &address)) {
    case Resolver::State::Resolved:
        connectTo(address, nowMs);
        return true;
    case Resolver::State::Failed:
        attemptEnded(outcome(NetOutcome::Unresolved), -1, nowMs);
        return true;
    case Resolver::State::Pending:
        break;
    }
    return false;
}

void Link::connectTo(in_addr address, int64_t nowMs) {
    int fd = -1;
    const NetResult result = Socket::startConnect(address, robotPort, &fd);
    if (result.outcome != NetOutcome::Connecting) {
        attemptEnded(result, fd, nowMs);
        return;
    }
    if (!services->events->watch(fd, true, key)) {
        const int error = errno;
        ::close(fd);
        attemptEnded(outcome(NetOutcome::Refused, error), -1, nowMs);
        return;
    }
    attemptFd = fd;
    enter(Stage::Connecting, nowMs + connectTimeoutMs);
}

void Link::dropAttemptSocket() {
    if (attemptFd < 0)
        return;
    services->events->unwatch(attemptFd);
    ::close(attemptFd);
    attemptFd = -1;
}

void Link::attemptEnded(const NetResult &result, int fd, int64_t nowMs) {
    if (result.outcome == NetOutcome::Refused && Socket::outOfDescriptors(result.error)) {
        if (!services->outOfDescriptors) {
            services->outOfDescriptors = true;
            HostGateway::logError(
                QStringLiteral("Robots cannot be connected: the host process has no file "
                               "descriptors left (open files limit ") +
                QString::number(openFilesLimit()) +
                QStringLiteral("). Raise the open files limit of the host process"));
        }
    } else if (result.outcome == NetOutcome::Opened) {
        services->outOfDescriptors = false;
    }
    const bool opened = attemptFinished(record, result, fd, firstAttempt, !firstAttempt);
    firstAttempt = false;
    changed();
    if (!opened) {
        restOrWait(nowMs);
        return;
    }
    if (!services->events->watch(fd, false, key)) {
        readEnded(ReadEnd::Closed, outcome(NetOutcome::Closed, errno), 0, 0, nowMs);
        return;
    }
    lastDataMs = nowMs; // silence is counted from the opening
    enter(Stage::Connected, nowMs + silenceMs);
}

void Link::socketReady(int64_t nowMs) {
    if (current == Stage::Connected) {
        read(nowMs);
        return;
    }
    if (current != Stage::Connecting)
        return; // an event of a descriptor given up meanwhile
    const int fd = attemptFd;
    attemptFd = -1;
    services->events->unwatch(fd);
    attemptEnded(Socket::finishConnect(fd), fd, nowMs); // finishConnect closes a failure
}

void Link::read(int64_t nowMs) {
    int messages = 0;
    int robotStates = 0;
    bool lost = false;
    const NetResult result =
        Socket::readAvailable(record->socketFd, [&](const char *bytes, size_t size) {
            const DecodeResult decoded = services->decoder->decode(record, bytes, size);
            messages += decoded.messages;
            robotStates += decoded.robotStates;
            lost = decoded.streamLost;
            return !lost;
        });
    if (result.outcome == NetOutcome::Silent)
        return;
    if (result.outcome == NetOutcome::Data)
        lastDataMs = nowMs;
    if (lost)
        readEnded(ReadEnd::StreamLost, result, messages, robotStates, nowMs);
    else if (result.outcome == NetOutcome::Closed)
        readEnded(ReadEnd::Closed, result, messages, robotStates, nowMs);
    else if (messages > 0)
        readEnded(ReadEnd::Data, result, messages, robotStates, nowMs);
    // Otherwise the bytes were the start of a message that the next read completes.
}

void Link::readEnded(ReadEnd end, const NetResult &result, int messages, int robotStates,
                     int64_t nowMs) {
    if (end != ReadEnd::Data && record->socketOpen)
        services->events->unwatch(record->socketFd);
    readFinished(record, end, result, messages, robotStates, nowMs);
    changed();
    if (end != ReadEnd::Data)
        restOrWait(nowMs);
}

void Link::restOrWait(int64_t nowMs) {
    if (record->retryAtMs > nowMs)
        enter(Stage::Waiting, record->retryAtMs);
    else
        enter(Stage::Resting, nowMs + restMs);
}

void Link::timerDue(int64_t atMs, int64_t nowMs) {
    if (atMs != timerAtMs)
        return; // armed for a stage that has ended
    timerAtMs = -1;
    switch (current) {
    case Stage::Resting:
    case Stage::Waiting:
        beginAttempt(nowMs);
        break;
    case Stage::Resolving:
        // A lookup still running at the deadline fails this attempt, quietly.
        if (!connectToLookedUp(nowMs))
            attemptEnded(outcome(NetOutcome::Connecting), -1, nowMs);
        break;
    case Stage::Connecting:
        // The wait may have ended before the descriptor's event was looked at.
        if (Socket::connectSettled(attemptFd)) {
            socketReady(nowMs);
        } else {
            dropAttemptSocket();
            attemptEnded(outcome(NetOutcome::TimedOut), -1, nowMs);
        }
        break;
    case Stage::Connected:
        // Data that arrived since the last event counts, even if not yet reported.
        if (nowMs - lastDataMs >= silenceMs)
            read(nowMs);
        if (current != Stage::Connected)
            break;
        if (nowMs - lastDataMs >= silenceMs)
            readEnded(ReadEnd::Silent, outcome(NetOutcome::Silent), 0, 0, nowMs);
        else
            enter(Stage::Connected, lastDataMs + silenceMs);
        break;
    }
}

void Link::lookupDone(int64_t nowMs) {
    if (current == Stage::Resolving)
        connectToLookedUp(nowMs);
}

void Link::close() {
    dropAttemptSocket();
    if (record->socketOpen)
        services->events->unwatch(record->socketFd);
    closeSocket(record);
}

} // namespace robotlink

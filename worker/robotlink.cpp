#include "robotlink.h"

#include "hostgateway.h"

#include <unistd.h>

namespace robotlink {

QDateTime noWait() {
    return QDateTime::currentDateTimeUtc().addYears(-1);
}

State stateAt(const urinstance &robot, const QDateTime &now) {
    if (robot.waitUntil > now)
        return State::Waiting;
    if (!robot.connected || robot.errorCount > 0)
        return State::Reconnect;
    return State::Connected;
}

Visible visible(const urinstance &robot, const QDateTime &now) {
    return {robot.connected, robot.errorCount, robot.waitUntil > now};
}

void closeSocket(urinstance *robot) {
    if (!robot->socketOpen)
        return;
    ::close(robot->socketFd);
    robot->socketOpen = false;
}

void setAvailability(urinstance *robot, bool available, bool waitOnError) {
    if (waitOnError && !available) {
        const int wait = robot->device.getErrorWaitTimeSeconds();
        HostGateway::logError(QStringLiteral("Error connecting/reading to robot ") +
                              robot->device.address + QStringLiteral(" Waiting another ") +
                              QString::number(wait) +
                              QStringLiteral(" seconds before trying again"));
        robot->waitUntil = QDateTime::currentDateTimeUtc().addSecs(wait);
        robot->connected = false;
        return;
    }
    robot->waitUntil = noWait();
    robot->connected = available;
}

void attemptStarted(urinstance *robot, bool announce) {
    if (announce)
        HostGateway::logInfo(QStringLiteral("Reconnecting robot ") + robot->device.address);
    robot->connected = false;
    closeSocket(robot);
    robot->pendingBytes.clear();
}

bool attemptFinished(urinstance *robot, const NetResult &result, int fd, bool waitOnError,
                     bool announce) {
    const QString &host = robot->device.address;
    const QString error = Socket::errorText(result.error);
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
    case NetOutcome::Refused:
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

void readFinished(urinstance *robot, const NetResult &result) {
    if (result.outcome == NetOutcome::Data) {
        setAvailability(robot, true, false);
        robot->dataReceived = true;
        robot->errorCount = 0;
        return;
    }
    const int fd = robot->socketFd;
    closeSocket(robot);
    if (result.outcome == NetOutcome::Closed)
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

} // namespace robotlink

#include "urworker.h"

#include "socket.h"
#include "ur.h"
#include "urwrapper.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QThread>

#include <unistd.h>

QList<urinstance> WorkerClass::robots;
std::atomic<bool> WorkerClass::run{false};
std::atomic<bool> WorkerClass::done{true};

namespace {

const int robotPort = 30001;
const int connectTimeoutMs = 500;
const int startDelayMs = 2500;
const int passSleepMs = 50;
const int publishLockMs = 200;

QDateTime noWait() {
    return QDateTime::currentDateTimeUtc().addYears(-1);
}

} // namespace

WorkerClass::WorkerClass(QObject *parent) : QObject(parent) {
    done.store(true);
    run.store(false);
}

WorkerClass::~WorkerClass() = default;

void WorkerClass::work() {
    Socket socket;
    URWrapper wrapper;

    // The starter has already claimed the loop (done false, run true) before starting
    // the thread, so a stop that came in the meantime is seen here and honoured.
    done.store(false);
    robots.clear();

    // Sleep before the set-up, but let a stop cut it short.
    for (int slept = 0; slept < startDelayMs && run.load(); slept += passSleepMs)
        QThread::msleep(passSleepMs);

    if (run.load()) {
        QList<DeviceInstancePlugin> devices;
        {
            QMutexLocker lock(&UR::interfaceMutex);
            devices = UR::getDevices();
        }
        for (int i = 0; i < devices.size() && run.load(); ++i) {
            urinstance robot;
            robot.waitUntil = noWait();
            robot.connected = false;
            robot.device = devices.at(i);
            robot.initialized = false;
            robot.socketFd = 0;
            robots.append(robot);
            addDefaultRobotItemsToDatabase(&robots[i]);
            connectToRobot(&robots[i], true);
            robots[i].initialized = true;
        }
        QMutexLocker lock(&publishMutex);
        publishedRobots = robots;
        published.store(true);
    }

    while (run.load()) {
        bool dataThisPass = false;
        for (int i = 0; i < robots.size(); ++i) {
            if (!run.load())
                break;
            urinstance *robot = &robots[i];
            if (robot->waitUntil > QDateTime::currentDateTimeUtc())
                continue;
            if (!robot->connected || robot->errorCount > 0) {
                UR::logInfo(QStringLiteral("Reconnecting robot ") + robot->device.address);
                robot->connected = false;
                if (!connectToRobot(robot, false))
                    continue;
                UR::logInfo(QStringLiteral("Connection opened to robot ") + robot->device.address);
            }
            QByteArray bytes;
            if (socket.readFromRobot(&robot->socketFd, &bytes, robot)) {
                wrapper.wrapMessage(robot, bytes);
                setRobotAvailability(robot, true, false);
                robot->dataReceived = true;
                dataThisPass = true;
                robot->errorCount = 0;
            } else {
                if (robot->connected)
                    UR::logInfo(QStringLiteral("Disconnected from robot ") + robot->device.name +
                                QStringLiteral(" IP: ") + robot->device.address);
                if (robot->errorCount > 1) {
                    setRobotAvailability(robot, false, true);
                    robot->errorCount = 0;
                }
                robot->errorCount += 1;
            }
        }
        if (dataThisPass && publishMutex.tryLock(publishLockMs)) {
            publishedRobots = robots;
            publishMutex.unlock();
        }
        QThread::msleep(passSleepMs);
    }

    UR::logInfo(QStringLiteral("Worker loop stopped. Closing connections"));
    UR::logDebug(QStringLiteral("Closing socket connections"));
    for (int i = 0; i < robots.size(); ++i)
        closeRobotSocket(&robots[i]);
    robots.clear();
    done.store(true);
}

bool WorkerClass::connectToRobot(urinstance *robot, bool waitOnError) {
    if (robot->connected) {
        UR::logDebug(QStringLiteral("connectToRobot(): already connected to robot."));
        return true;
    }
    closeRobotSocket(robot);
    Socket socket;
    const bool opened =
        socket.connectToRobot(robot->device.address, robotPort, &robot->socketFd, connectTimeoutMs);
    robot->socketOpen = opened;
    // A new connection is a new stream: bytes kept from the old one belong to nothing.
    robot->pendingBytes.clear();
    setRobotAvailability(robot, opened, waitOnError);
    return opened;
}

void WorkerClass::setRobotAvailability(urinstance *robot, bool available, bool waitOnError) {
    if (waitOnError && !available) {
        const int wait = robot->device.getErrorWaitTimeSeconds();
        UR::logError(QStringLiteral("Error connecting/reading to robot ") + robot->device.address +
                     QStringLiteral(" Waiting another ") + QString::number(wait) +
                     QStringLiteral(" seconds before trying again"));
        robot->waitUntil = QDateTime::currentDateTimeUtc().addSecs(wait);
        robot->connected = false;
        return;
    }
    robot->waitUntil = noWait();
    robot->connected = available;
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

void WorkerClass::closeRobotSocket(urinstance *robot) {
    if (!robot->socketOpen)
        return;
    ::close(robot->socketFd);
    robot->socketOpen = false;
}

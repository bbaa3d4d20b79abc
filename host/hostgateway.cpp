#include "hostgateway.h"

#include <QHash>
#include <QMutexLocker>
#include <QPair>
#include <QSet>

PluginInterface HostGateway::service;
QMutex HostGateway::mutex;

namespace {

struct Claim {
    int deviceId = 0;
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

void logAt(void (PluginInterface::*level)(QString), const QString &message) {
    QMutexLocker lock(&HostGateway::mutex);
    (HostGateway::service.*level)(message);
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
    QMutexLocker lock(&mutex);
    service.watchdogAddHeartbeat(device);
}

QList<DeviceInstancePlugin> HostGateway::devices() {
    QMutexLocker lock(&mutex);
    return service.getPluginDevices();
}

void HostGateway::addItems(const QList<ItemInstancePlugin> &items) {
    QMutexLocker lock(&mutex);
    for (ItemInstancePlugin item : items)
        service.addPluginItem(&item);
}

void HostGateway::addItemUnlocked(ItemInstancePlugin *item) {
    service.addPluginItem(item);
}

QString HostGateway::dataDirectory() {
    return service.dataDirectory;
}

void HostGateway::claimItemName(const QString &name, const DeviceInstancePlugin &robot) {
    QString first;
    {
        QMutexLocker lock(&claimsMutex);
        auto found = claims.constFind(name);
        if (found == claims.constEnd()) {
            claims.insert(name, {robot.id, robotLabel(robot)});
            return;
        }
        if (found->deviceId == robot.id)
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

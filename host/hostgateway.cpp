#include "hostgateway.h"

#include <QMutexLocker>

PluginInterface HostGateway::service;
QMutex HostGateway::mutex;

namespace {

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

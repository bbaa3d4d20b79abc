#include "hostgateway.h"

#include <QMutexLocker>

PluginInterface HostGateway::service;
QMutex HostGateway::mutex;

void HostGateway::logDebug(const QString &message) {
    QMutexLocker lock(&mutex);
    service.logDebug(message);
}

void HostGateway::logInfo(const QString &message) {
    QMutexLocker lock(&mutex);
    service.logInfo(message);
}

void HostGateway::logWarning(const QString &message) {
    QMutexLocker lock(&mutex);
    service.logWarning(message);
}

void HostGateway::logError(const QString &message) {
    QMutexLocker lock(&mutex);
    service.logError(message);
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

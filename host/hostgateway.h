// The plug-in's one way into the host's service object. Calls are serialised by one lock
// (not recursive), held for the one host call or one batch of items; code that holds it
// never logs. Every layer of the plug-in calls the host through here.
#pragma once

#include "noruplugin.h"

#include <QList>
#include <QMutex>
#include <QString>

class HostGateway {
public:
    static PluginInterface service; // this plug-in's host service object
    static QMutex mutex;            // the host-interface lock

    static void logDebug(const QString &message);
    static void logInfo(const QString &message);
    static void logWarning(const QString &message);
    static void logError(const QString &message);
    static void addHeartBeat(DeviceInstancePlugin *device);
    // The configured devices, fetched under the lock.
    static QList<DeviceInstancePlugin> devices();
    // One batch under one lock, so no other host call of the plug-in comes between them.
    static void addItems(const QList<ItemInstancePlugin> &items);
    // Items offered while decoding (program variables, titled messages) go to the host
    // without the lock, as the host has always received them.
    static void addItemUnlocked(ItemInstancePlugin *item);
    static QString dataDirectory();

    // Program variables and message titles are items keyed by their bare name, so robots
    // that use the same name share one item and only one robot's values are logged. The
    // first robot to use a name is remembered; when another robot uses it too, the operator
    // is told once for the pair.
    static void claimItemName(const QString &name, const DeviceInstancePlugin &robot);
    // A new worker run starts with no names claimed.
    static void forgetItemNames();
};

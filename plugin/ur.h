// The plug-in object that the host loads, and the process-wide host services that every
// other part of the plug-in uses.
#pragma once

#include "noruplugin.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>

class WorkerClass;

class UR : public QObject, public NORUInterface {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "com.tervane.NORU/1.0.7")
    Q_INTERFACES(NORUInterface)

public:
    bool init() override;
    bool readData(LogList *list) override;
    bool getEventData(LogList *list) override;
    bool logCallback(LogList *list) override;
    bool writeData(LogList *list) override;
    bool stopPlugin() override;

    // Forwards to HostGateway; each takes interfaceMutex for the one host call.
    static void logDebug(QString message);
    static void logInfo(QString message);
    static void logWarning(QString message);
    static void logError(QString message);
    static void addHeartBeat(DeviceInstancePlugin *device);
    // The caller holds interfaceMutex.
    static QList<DeviceInstancePlugin> getDevices();
    static void addItem(ItemInstancePlugin *item);

    static PluginInterface &interface; // HostGateway::service
    static QMutex &interfaceMutex;     // HostGateway::mutex
    static WorkerClass *worker;
    static QThread *workerThread;

private:
    void registerAndStart();
    bool readCycle(LogList *list);
    static void stopWorker();
};

#include "ur.h"

#include "hostgateway.h"
#include "noru_identity.h"
#include "urworker.h"
#include "workeraccess.h"

#include <QMutexLocker>

#include <functional>
#include <QWriteLocker>

PluginInterface &UR::interface = HostGateway::service;
QMutex &UR::interfaceMutex = HostGateway::mutex;
WorkerClass *UR::worker = nullptr;
// Created at load and never destroyed: the host may unload the library while the
// thread object is still referenced by Qt's thread bookkeeping.
QThread *UR::workerThread = [] {
    auto *thread = new QThread();
    thread->setObjectName(QStringLiteral("ur-worker")); // the thread's name in top and ps
    return thread;
}();

QReadWriteLock workerLifetimeLock;
// Serialises worker start and stop, so that an init on one host thread cannot start a
// worker on a thread that a stop on another host thread is still winding down.
static QMutex lifecycleMutex;

namespace {

const DataType wholeNumberColumn = static_cast<DataType>(0);
const DataType textColumn = static_cast<DataType>(8);

void addDiscoveryPair(DatabaseColumnStructure &column) {
    column.insertSelectionValues(QStringLiteral("__noru_discovery_editable"), QStringLiteral("1"));
    column.insertSelectionValues(QStringLiteral("__noru_discovery_parameter_only"),
                                 QStringLiteral("1"));
}

QList<noru_identity::Spec> urIdentitySpecs() {
    static const char *const table[3][3] = {
        {"vendor", "Vendor", "Robot manufacturer"},
        {"model", "Model", "UR project / robot name"},
        {"firmware", "Firmware", "UR controller software version"},
    };
    QList<noru_identity::Spec> specs;
    for (const auto &row : table) {
        noru_identity::Spec spec;
        spec.key = QString::fromLatin1(row[0]);
        spec.label = QString::fromLatin1(row[1]);
        spec.description = QString::fromLatin1(row[2]);
        specs.append(spec);
    }
    return specs;
}

// The host calls of init, each under the host-interface lock for itself alone, so that a
// reader or the worker waits for one of them at most. One that throws costs itself; the
// first failure is told once the calls are done.
class InitCalls {
public:
    bool make(const char *operation, const std::function<void()> &call) {
        QString failure;
        if (HostGateway::inSeries(call, &failure))
            return true;
        if (failed.isEmpty())
            failed = QString::fromLatin1(operation) + QStringLiteral(": ") + failure;
        return false;
    }
    void tell() const {
        if (!failed.isEmpty())
            UR::logError(QStringLiteral("The host failed a call of the plug-in's start, which "
                                        "went on without it: ") +
                         failed);
    }

private:
    QString failed;
};

// The identity items of every configured robot, created in device and key order before init
// returns; the host is asked to reload its plug-ins once if any was created.
void createIdentityItems(InitCalls &calls) {
    QList<DeviceInstancePlugin> devices;
    if (!calls.make("getPluginDevices", [&] { devices = UR::interface.getPluginDevices(); }))
        return;
    const QList<noru_identity::Spec> specs = urIdentitySpecs();
    int created = 0;
    for (const DeviceInstancePlugin &device : qAsConst(devices)) {
        if (device.id < 1)
            continue;
        for (const noru_identity::Spec &spec : specs) {
            ItemInstancePlugin item = noru_identity::itemFor(device.id, spec);
            bool known = false;
            if (!calls.make("getPluginItem", [&] {
                    ItemInstancePlugin existing{};
                    known = UR::interface.getPluginItem(item.uid, &existing);
                }) ||
                known)
                continue;
            calls.make("addPluginItem", [&] { UR::interface.addPluginItem(&item); });
            ++created;
        }
    }
    QString refreshing;
    if (created > 0 &&
        calls.make("getSetting",
                   [&] { refreshing = UR::interface.getSetting(QStringLiteral("plugin_refreshing")); }) &&
        refreshing != QLatin1String("1"))
        calls.make("reloadPlugins", [] { UR::interface.reloadPlugins(); });
}

void startWorker() {
    QMutexLocker lifecycle(&lifecycleMutex);
    QWriteLocker lifetime(&workerLifetimeLock);
    if (!WorkerClass::done.load()) {
        lifetime.unlock();
        UR::logDebug(QStringLiteral("UR thread and worker class is already running"));
        return;
    }
    UR::worker = new WorkerClass(nullptr);
    UR::worker->moveToThread(UR::workerThread);
    QObject::connect(UR::workerThread, &QThread::started, UR::worker, &WorkerClass::work);
    // Claim the loop before the thread runs, so that a stopPlugin that comes before
    // work() has begun still waits for this worker and stops it.
    WorkerClass::done.store(false);
    WorkerClass::run.store(true);
    UR::workerThread->start(QThread::InheritPriority);
    lifetime.unlock();
    UR::logDebug(QStringLiteral("UR thread and worker class is started"));
}

} // namespace

bool UR::init() {
    // Nothing may escape into the host's thread; init has no failure result.
    try {
        registerAndStart();
    } catch (...) {
    }
    return true;
}

void UR::registerAndStart() {
    DatabaseColumnStructure version(QStringLiteral("version"), wholeNumberColumn, 0,
                                    QStringLiteral("2"),
                                    QStringLiteral("The robot software version"));
    version.insertSelectionValues(QStringLiteral("Auto"), QStringLiteral("0"));
    version.insertSelectionValues(QStringLiteral("Up to 3.2"), QStringLiteral("1"));
    version.insertSelectionValues(QStringLiteral("3.3 to 5.8"), QStringLiteral("2"));
    version.insertSelectionValues(QStringLiteral("5.9 and up"), QStringLiteral("3"));

    DatabaseColumnStructure timeout(
        QStringLiteral("timeout_ms"), wholeNumberColumn, 0, QStringLiteral("60000"),
        QStringLiteral("Overall discovery window in milliseconds for Universal Robots TCP "
                       "probe. Default 60000 is 60 seconds."));
    addDiscoveryPair(timeout);

    DatabaseColumnStructure network(
        QStringLiteral("network_interface"), textColumn, 64, QStringLiteral("eth0"),
        QStringLiteral("Ethernet interface used for Universal Robots TCP subnet probe. Default "
                       "is eth0. Choose All IPv4 interfaces to scan every NIC."));
    network.insertSelectionValues(QStringLiteral("All IPv4 interfaces"), QString());
    InitCalls calls;
    QList<NetworkInterfaceInstance> interfaces;
    try {
        interfaces = interface.getNetworkInterfaces(); // without the lock, as the host expects
    } catch (...) {
        // Only the host's own discovery uses the list: offered without it.
    }
    for (const NetworkInterfaceInstance &nic : qAsConst(interfaces)) {
        if (!nic.name.isEmpty())
            network.insertSelectionValues(nic.name, nic.name);
    }
    addDiscoveryPair(network);

    DatabaseColumnStructure ports(
        QStringLiteral("tcp_ports"), textColumn, 256, QStringLiteral("29999-30004"),
        QStringLiteral("TCP ports for Universal Robots identify. Default 29999-30004 (dashboard "
                       "29999, primary 30001, secondary/realtime/RTDE 30002-30004). Use commas "
                       "and ranges."));
    addDiscoveryPair(ports);

    QList<DatabaseColumnStructure> columns;
    columns << version << timeout << network << ports;

    PluginInitOptions options;
    options.hostFlag1 = false;
    options.hostFlag2 = false;
    options.hostFlag4 = true;
    options.hostFlag5 = false;
    options.actionName = QStringLiteral("discover");

    calls.make("initPlugin", [&] {
        interface.initPlugin(QStringLiteral("universal_robot"), 7u, {}, {}, columns, {}, options);
    });
    createIdentityItems(calls);
    calls.tell();
    logDebug(QStringLiteral("Init UR app"));

    startWorker();
}

bool UR::getEventData(LogList *) {
    return true;
}
bool UR::logCallback(LogList *) {
    return true;
}
bool UR::writeData(LogList *) {
    return true;
}

bool UR::stopPlugin() {
    try {
        stopWorker();
    } catch (...) {
    }
    return true;
}

void UR::stopWorker() {
    QMutexLocker lifecycle(&lifecycleMutex);
    WorkerClass::run.store(false);
    // Every turn of the loop is bounded (waits are sliced, lookups never waited for), so
    // this ends within one.
    while (!WorkerClass::done.load())
        QThread::msleep(1);
    workerThread->quit();
    workerThread->wait();

    QWriteLocker lifetime(&workerLifetimeLock);
    if (worker) {
        delete worker;
        worker = nullptr;
    }
}

void UR::logDebug(QString message) {
    HostGateway::logDebug(message);
}

void UR::logInfo(QString message) {
    HostGateway::logInfo(message);
}

void UR::logWarning(QString message) {
    HostGateway::logWarning(message);
}

void UR::logError(QString message) {
    HostGateway::logError(message);
}

void UR::addHeartBeat(DeviceInstancePlugin *device) {
    HostGateway::addHeartBeat(device);
}

QList<DeviceInstancePlugin> UR::getDevices() {
    return interface.getPluginDevices();
}

void UR::addItem(ItemInstancePlugin *item) {
    HostGateway::addItem(*item);
}

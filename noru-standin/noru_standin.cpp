// Our stand-in for the host library libnoru.so.1: a small in-memory host. Every
// PluginInterface object shares one process-wide state; each call into it is recorded so
// that tests and the demo host can see what the plug-in asked for.
#include "noru_standin.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace noru_standin {
namespace {

struct State {
    mutable QMutex mutex;
    QWaitCondition logArrived;

    QList<DeviceInstancePlugin> devices;
    QHash<QString, ItemInstancePlugin> items; // by uid
    QStringList itemOrder;                    // uids in the order they were first stored
    QMap<QString, QString> settings;
    QList<NetworkInterfaceInstance> interfaces;
    QString dataDirectory;
    QSet<PluginInterface *> liveObjects;

    QList<LogLine> logs;
    QList<ItemInstancePlugin> addedItems;
    QList<DeviceInstancePlugin> heartbeats;
    int reloads = 0;
    QList<InitPluginCall> initCalls;
    QList<HostCall> calls;
    QSet<int> callsInFlight; // indices into calls
    quint64 recordEpoch = 0; // advanced whenever the records are cleared
    bool recording = true;   // off: calls are served but not kept
    int itemDelayMs = 0;     // addPluginItem takes this long, as a busy database would
    int logDelayMs = 0;      // and each log call this long
    QHash<QString, QPair<int, QString>> failing; // operation -> calls left to fail, what

    // Where each uid is shown (indices into devices), and the indices of each device id, so
    // that storing an item touches only the devices concerned, not every device's list.
    // Indices into devices by device id, so that storing an item touches only the devices
    // concerned. A stored item is shown by the device of its deviceId; a configuration that
    // shows a uid elsewhere, or twice, makes every store look at every device.
    QHash<int, QList<int>> devicesById;
    bool irregular = false;

    std::function<void(const LogLine &)> listener;
};

// Never destroyed: PluginInterface objects of a plug-in that is unloaded late (or never)
// may still call in while the process exits.
State &state() {
    static State *s = new State;
    return *s;
}

std::atomic<int> callsInFlight{0};

// Caller holds the mutex for these two.
void putItem(State &s, const ItemInstancePlugin &item) {
    if (!s.items.contains(item.uid))
        s.itemOrder.append(item.uid);
    s.items.insert(item.uid, item);
}

void dropItem(State &s, const QString &uid) {
    if (s.items.remove(uid) > 0)
        s.itemOrder.removeOne(uid);
}

// Rebuilds the indices after the device list changed. Caller holds the mutex.
void reindex(State &s) {
    s.devicesById.clear();
    s.irregular = false;
    QSet<QString> shown;
    for (int d = 0; d < s.devices.size(); ++d) {
        const DeviceInstancePlugin &device = s.devices.at(d);
        s.devicesById[device.id].append(d);
        for (const ItemInstancePlugin &item : device.items) {
            if (item.deviceId != device.id || shown.contains(item.uid))
                s.irregular = true;
            shown.insert(item.uid);
        }
    }
}

// Stores an item under its uid and shows it in the list of the device it belongs to,
// replacing an earlier item of the same uid wherever it was shown. Caller holds the mutex.
void storeItem(State &s, const ItemInstancePlugin &item) {
    const auto earlier = s.items.constFind(item.uid);
    QList<int> concerned = s.devicesById.value(item.deviceId);
    if (s.irregular) {
        concerned.clear();
        for (int d = 0; d < s.devices.size(); ++d)
            concerned << d;
    } else if (earlier != s.items.constEnd() && earlier->deviceId != item.deviceId) {
        concerned << s.devicesById.value(earlier->deviceId);
    }
    putItem(s, item);
    for (int d : qAsConst(concerned)) {
        DeviceInstancePlugin &device = s.devices[d];
        bool shown = false;
        for (int i = device.items.size() - 1; i >= 0; --i) {
            if (device.items.at(i).uid != item.uid)
                continue;
            if (device.id == item.deviceId && !shown) {
                device.items[i] = item;
                shown = true;
            } else {
                device.items.removeAt(i);
            }
        }
        if (device.id == item.deviceId && !shown)
            device.items.append(item);
    }
}

// Items of configured devices (from index first on) go into the store; stored items of such
// a device that its configuration does not list are shown as well. Caller holds the mutex.
void adoptDevices(State &s, int first) {
    QHash<int, QStringList> storedFor; // device id -> uids, in the order first stored
    for (const QString &uid : qAsConst(s.itemOrder))
        storedFor[s.items.value(uid).deviceId].append(uid);
    for (int d = first; d < s.devices.size(); ++d) {
        DeviceInstancePlugin &device = s.devices[d];
        QSet<QString> listed;
        for (const ItemInstancePlugin &item : qAsConst(device.items)) {
            putItem(s, item);
            listed.insert(item.uid);
        }
        for (const QString &uid : storedFor.value(device.id)) {
            if (!listed.contains(uid))
                device.items.append(s.items.value(uid));
        }
    }
    reindex(s);
}

// One PluginInterface call as seen by the stand-in: counted as in flight from
// construction to destruction, recorded in order, and marked as overlapped together with
// every call that was in flight on another thread at the same time.
class CallScope {
public:
    CallScope(const char *operation, const QString &detail) {
        const bool othersAtEntry = callsInFlight.fetch_add(1) > 0;
        State &s = state();
        QMutexLocker lock(&s.mutex);
        recorded = s.recording;
        if (!recorded)
            return;
        epoch = s.recordEpoch;
        index = s.calls.size();
        const bool overlapped = othersAtEntry || !s.callsInFlight.isEmpty();
        if (overlapped) {
            for (int other : qAsConst(s.callsInFlight))
                s.calls[other].overlapped = true;
        }
        s.calls.append({QString::fromLatin1(operation), detail, overlapped});
        s.callsInFlight.insert(index);
    }
    ~CallScope() {
        if (recorded) {
            State &s = state();
            QMutexLocker lock(&s.mutex);
            if (epoch == s.recordEpoch) {
                if (callsInFlight.load() > 1)
                    s.calls[index].overlapped = true;
                s.callsInFlight.remove(index);
            }
        }
        callsInFlight.fetch_sub(1);
    }
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

    // Keeps short calls in flight long enough for a concurrent one to be seen; only worth its
    // time when the calls are recorded.
    void linger() const {
        if (recorded)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }

private:
    int index = 0;
    quint64 epoch = 0;
    bool recorded = false;
};

// Throws for an operation that is set to fail. Called within the call's scope, so that the
// failed call is recorded too.
void failIfAsked(const char *operation) {
    State &s = state();
    QString what;
    {
        QMutexLocker lock(&s.mutex);
        auto it = s.failing.find(QString::fromLatin1(operation));
        if (it == s.failing.end() || it->first == 0)
            return;
        if (it->first > 0)
            --it->first;
        what = it->second;
    }
    throw std::runtime_error(what.toStdString());
}

void recordLog(const char *operation, const char *level, const QString &message) {
    CallScope scope(operation, message);
    failIfAsked(operation);
    int delayMs = 0;
    {
        State &s = state();
        QMutexLocker lock(&s.mutex);
        delayMs = s.logDelayMs;
    }
    if (delayMs > 0)
        QThread::msleep(unsigned(delayMs));
    const LogLine line{QString::fromLatin1(level), message};
    std::function<void(const LogLine &)> listener;
    {
        State &s = state();
        QMutexLocker lock(&s.mutex);
        if (s.recording)
            s.logs.append(line);
        listener = s.listener;
        s.logArrived.wakeAll();
    }
    scope.linger();
    if (listener)
        listener(line);
}

} // namespace

Host &Host::instance() {
    static Host host;
    return host;
}

Host::Host() = default;

void Host::reset() {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.devices.clear();
    s.items.clear();
    s.itemOrder.clear();
    s.settings.clear();
    s.interfaces.clear();
    s.logs.clear();
    s.addedItems.clear();
    s.heartbeats.clear();
    s.reloads = 0;
    s.initCalls.clear();
    s.calls.clear();
    s.callsInFlight.clear();
    ++s.recordEpoch;
    s.recording = true;
    s.itemDelayMs = 0;
    s.logDelayMs = 0;
    s.failing.clear();
    s.devicesById.clear();
    s.irregular = false;
}

void Host::setDevices(const QList<DeviceInstancePlugin> &devices) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.devices = devices;
    adoptDevices(s, 0);
}

void Host::addDevice(const DeviceInstancePlugin &device) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.devices.append(device);
    adoptDevices(s, s.devices.size() - 1);
}

void Host::removeDevice(int id) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    for (int i = s.devices.size() - 1; i >= 0; --i) {
        if (s.devices.at(i).id != id)
            continue;
        for (const ItemInstancePlugin &item : qAsConst(s.devices.at(i).items))
            dropItem(s, item.uid);
        s.devices.removeAt(i);
    }
    reindex(s);
}

void Host::setSetting(const QString &key, const QString &value) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.settings.insert(key, value);
}

void Host::setNetworkInterfaces(const QList<NetworkInterfaceInstance> &interfaces) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.interfaces = interfaces;
}

void Host::setDataDirectory(const QString &path) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.dataDirectory = path;
    for (PluginInterface *object : qAsConst(s.liveObjects))
        object->dataDirectory = path;
}

QString Host::dataDirectory() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.dataDirectory;
}

QList<DeviceInstancePlugin> Host::devices() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.devices;
}

bool Host::findItem(const QString &uid, ItemInstancePlugin *item) const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    const auto it = s.items.constFind(uid);
    if (it == s.items.cend())
        return false;
    if (item)
        *item = *it;
    return true;
}

QList<LogLine> Host::logs() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.logs;
}

QList<ItemInstancePlugin> Host::addedItems() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.addedItems;
}

QList<DeviceInstancePlugin> Host::heartbeats() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.heartbeats;
}

int Host::reloadCount() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.reloads;
}

QList<InitPluginCall> Host::initPluginCalls() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.initCalls;
}

QList<HostCall> Host::calls() const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.calls;
}

void Host::clearRecords() {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.logs.clear();
    s.addedItems.clear();
    s.heartbeats.clear();
    s.reloads = 0;
    s.initCalls.clear();
    s.calls.clear();
    s.callsInFlight.clear();
    ++s.recordEpoch;
}

bool Host::waitForLog(const std::function<bool(const LogLine &)> &predicate, int timeoutMs) const {
    State &s = state();
    QDeadlineTimer deadline(timeoutMs);
    int seen = 0;
    for (;;) {
        QList<LogLine> fresh;
        {
            QMutexLocker lock(&s.mutex);
            if (seen > s.logs.size()) // records were cleared meanwhile
                seen = 0;
            if (seen == s.logs.size() && !deadline.hasExpired())
                s.logArrived.wait(&s.mutex, deadline);
            fresh = s.logs.mid(seen);
            seen = s.logs.size();
        }
        // The predicate runs without the lock: it may call back into the host.
        for (const LogLine &line : qAsConst(fresh)) {
            if (predicate(line))
                return true;
        }
        if (deadline.hasExpired())
            return false;
    }
}

bool Host::waitForLogContaining(const QString &text, int timeoutMs) const {
    return waitForLog([&text](const LogLine &line) { return line.message.contains(text); },
                      timeoutMs);
}

int Host::countLogsContaining(const QString &text) const {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    int count = 0;
    for (const LogLine &line : qAsConst(s.logs)) {
        if (line.message.contains(text))
            ++count;
    }
    return count;
}

void Host::setItemDelay(int ms) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.itemDelayMs = ms;
}

void Host::setLogDelay(int ms) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.logDelayMs = ms;
}

void Host::failCalls(const QString &operation, int times, const QString &what) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.failing.insert(operation, qMakePair(times, what));
}

void Host::setRecording(bool on) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.recording = on;
}

void Host::setLogListener(std::function<void(const LogLine &)> listener) {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.listener = std::move(listener);
}

} // namespace noru_standin

using noru_standin::CallScope;
using noru_standin::State;
using noru_standin::state;

PluginInterface::PluginInterface() : hostState(&state()), hostReserved{} {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    dataDirectory = s.dataDirectory;
    s.liveObjects.insert(this);
}

PluginInterface::~PluginInterface() {
    State &s = state();
    QMutexLocker lock(&s.mutex);
    s.liveObjects.remove(this);
}

bool PluginInterface::initPlugin(QString name, unsigned int number,
                                 QList<DatabaseColumnStructure> columns1,
                                 QList<DatabaseColumnStructure> columns2,
                                 QList<DatabaseColumnStructure> columns3,
                                 QList<DatabaseColumnStructure> columns4,
                                 const PluginInitOptions &options) {
    CallScope scope("initPlugin", name);
    noru_standin::failIfAsked("initPlugin");
    noru_standin::InitPluginCall call;
    call.name = name;
    call.number = number;
    call.columns[0] = columns1;
    call.columns[1] = columns2;
    call.columns[2] = columns3;
    call.columns[3] = columns4;
    call.options = options;
    State &s = state();
    QMutexLocker lock(&s.mutex);
    if (s.recording)
        s.initCalls.append(call);
    return true;
}

QList<NetworkInterfaceInstance> PluginInterface::getNetworkInterfaces() {
    CallScope scope("getNetworkInterfaces", QString());
    noru_standin::failIfAsked("getNetworkInterfaces");
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.interfaces;
}

QList<DeviceInstancePlugin> PluginInterface::getPluginDevices() {
    CallScope scope("getPluginDevices", QString());
    noru_standin::failIfAsked("getPluginDevices");
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.devices;
}

bool PluginInterface::addPluginItem(ItemInstancePlugin *item) {
    CallScope scope("addPluginItem", item ? item->uid : QString());
    if (!item)
        return false;
    State &s = state();
    int delayMs = 0;
    {
        QMutexLocker lock(&s.mutex);
        delayMs = s.itemDelayMs;
    }
    if (delayMs > 0)
        QThread::msleep(unsigned(delayMs));
    noru_standin::failIfAsked("addPluginItem");
    QMutexLocker lock(&s.mutex);
    if (s.recording)
        s.addedItems.append(*item);
    noru_standin::storeItem(s, *item);
    return true;
}

bool PluginInterface::getPluginItem(QString uid, ItemInstancePlugin *item) {
    CallScope scope("getPluginItem", uid);
    noru_standin::failIfAsked("getPluginItem");
    State &s = state();
    QMutexLocker lock(&s.mutex);
    const auto it = s.items.constFind(uid);
    if (it == s.items.cend())
        return false;
    if (item)
        *item = *it;
    return true;
}

QString PluginInterface::getSetting(QString key) {
    CallScope scope("getSetting", key);
    noru_standin::failIfAsked("getSetting");
    State &s = state();
    QMutexLocker lock(&s.mutex);
    return s.settings.value(key);
}

void PluginInterface::reloadPlugins() {
    CallScope scope("reloadPlugins", QString());
    noru_standin::failIfAsked("reloadPlugins");
    State &s = state();
    QMutexLocker lock(&s.mutex);
    ++s.reloads;
}

void PluginInterface::watchdogAddHeartbeat(DeviceInstancePlugin *device) {
    CallScope scope("watchdogAddHeartbeat", device ? QString::number(device->id) : QString());
    noru_standin::failIfAsked("watchdogAddHeartbeat");
    if (device) {
        const DeviceInstancePlugin copy = *device; // the device part only, as the host sees it
        State &s = state();
        QMutexLocker lock(&s.mutex);
        if (s.recording)
            s.heartbeats.append(copy);
    }
    scope.linger();
}

void PluginInterface::logDebug(QString message) {
    noru_standin::recordLog("logDebug", "debug", message);
}

void PluginInterface::logInfo(QString message) {
    noru_standin::recordLog("logInfo", "info", message);
}

void PluginInterface::logWarning(QString message) {
    noru_standin::recordLog("logWarning", "warning", message);
}

void PluginInterface::logError(QString message) {
    noru_standin::recordLog("logError", "error", message);
}

DatabaseColumnStructure::DatabaseColumnStructure(QString name, DataType type, int size,
                                                 QString defaultValue, QString description)
    : selectionValues(), name(std::move(name)), type(type), defaultValue(std::move(defaultValue)),
      description(std::move(description)), size(size), hostData{} {}

void DatabaseColumnStructure::insertSelectionValues(QString label, QString value) {
    selectionValues.append({std::move(label), std::move(value)});
}

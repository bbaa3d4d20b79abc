// Control and inspection side of our stand-in for the host library libnoru.so.1: one
// process-wide in-memory host that a host program or a test configures, and a record of
// every call the plug-in makes into it. The plug-in itself never uses this header.
#pragma once

#include "noruplugin.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

namespace noru_standin {

struct LogLine {
    QString level; // "debug", "info", "warning" or "error"
    QString message;
};

struct InitPluginCall {
    QString name;
    unsigned int number = 0;
    QList<DatabaseColumnStructure> columns[4];
    PluginInitOptions options;
};

// One host call as the stand-in saw it: the operation's name ("logDebug", "addPluginItem",
// ...), a detail (the message, the item uid, ...) and whether another call was running
// in the stand-in on another thread at the same time.
struct HostCall {
    QString operation;
    QString detail;
    bool overlapped = false;
};

// Devices and items: an item lives in the store under its uid from the moment it is given
// (as part of a configured device, or by addPluginItem) until reset() or removeDevice() of
// a device that lists it. A stored item is shown in the items of the device whose id equals
// its deviceId; storing an item again under the same uid replaces it everywhere.
//
// Every PluginInterface call is recorded. Log calls and heartbeats stay in flight for a
// few microseconds, so that two of them made at once on different threads are marked as
// overlapped.
class Host {
public:
    static Host &instance();

    // Configuration (any time, before or after the plug-in is loaded).
    // No devices, items, settings, interfaces or records; data directory and listener kept.
    void reset();
    void setDevices(const QList<DeviceInstancePlugin> &devices);
    void addDevice(const DeviceInstancePlugin &device); // its items are stored as well
    // Removes the device and the items that it lists.
    void removeDevice(int id);
    void setSetting(const QString &key, const QString &value);
    void setNetworkInterfaces(const QList<NetworkInterfaceInstance> &interfaces);
    void setDataDirectory(const QString &path); // also updates live PluginInterface objects
    QString dataDirectory() const;

    // State.
    QList<DeviceInstancePlugin> devices() const;
    bool findItem(const QString &uid, ItemInstancePlugin *item) const; // item may be null

    // Records of calls.
    QList<LogLine> logs() const;
    QList<ItemInstancePlugin> addedItems() const; // every addPluginItem, in order
    QList<DeviceInstancePlugin> heartbeats() const;
    int reloadCount() const;
    QList<InitPluginCall> initPluginCalls() const;
    QList<HostCall> calls() const;
    void clearRecords();

    // From now on every addPluginItem takes this long, as with a host whose database is busy.
    // 0 after reset().
    void setItemDelay(int ms);
    // From now on every log call takes this long, as with a host that logs into a database.
    // 0 after reset().
    void setLogDelay(int ms);
    // The next `times` calls of the operation ("getPluginDevices", "addPluginItem", ...) throw
    // std::runtime_error(what), as with a host whose database is locked for a moment; every
    // call of it from now on when times is negative. None after reset().
    void failCalls(const QString &operation, int times, const QString &what);
    // Off: calls are served as usual but no record of them is kept (logs, calls, added
    // items, heartbeats, init calls), so a long run does not grow, and log calls do not
    // linger to be caught overlapping; the log listener still sees every line. On after
    // reset().
    void setRecording(bool on);

    // Waits up to timeoutMs for a log line that satisfies the predicate; true if found.
    bool waitForLog(const std::function<bool(const LogLine &)> &predicate, int timeoutMs) const;
    bool waitForLogContaining(const QString &text, int timeoutMs) const;
    int countLogsContaining(const QString &text) const;

    // Called on every log line as it arrives (the demo host prints them), on the plug-in's
    // thread and without the host's lock held; may be null.
    void setLogListener(std::function<void(const LogLine &)> listener);

private:
    Host();
};

} // namespace noru_standin

// The host's periodic read of one robot: identity values, then the requested items.
#include "hostgateway.h"
#include "noru_identity.h"
#include "robotitems.h"
#include "ur.h"
#include "urworker.h"
#include "workeraccess.h"

#include <QElapsedTimer>
#include <QReadLocker>

namespace {

const QString notConnectedText = QStringLiteral("Could not connect to robot");
const QString noDataText = QStringLiteral("No data received from robot");
// The wait for the robot's record (the worker's first publication, or a device it does not
// know), and the wait for its first robot state.
const int recordWaitMs = 20000;
const int dataWaitMs = 20000;
// Waits look at a fresh copy this often; the host's watchdog hears from them once a second.
const int waitStepMs = 50;
const int heartbeatMs = 1000;
// A controller sends ten robot states a second: values older than this are not current.
const int64_t staleStateMs = 2000;

enum class Lookup { Found, NotFound, NoWorker, GivenUp };

// One copy of the robot's published record, taken while the worker is known to exist. A
// worker whose loop has ended has nothing to wait for.
Lookup fetch(const QString &address, urinstance *copy, bool *published) {
    QReadLocker lifetime(&workerLifetimeLock);
    if (!UR::worker || WorkerClass::done.load())
        return Lookup::NoWorker;
    if (UR::worker->givenUp(address))
        return Lookup::GivenUp;
    bool found = false;
    *copy = UR::worker->getData(address, &found);
    if (published)
        *published = UR::worker->hasPublished();
    return found ? Lookup::Found : Lookup::NotFound;
}

// The first give-up for an address is told once, with what to do; later cycles fail at once.
bool giveUp(const QString &address) {
    QReadLocker lifetime(&workerLifetimeLock);
    return UR::worker && UR::worker->giveUp(address);
}

// A step of a wait: short, so that the read goes on as soon as the copy allows; the watchdog
// hears from the reader once a second. The heartbeat's time is part of the wait.
class WaitSteps {
public:
    explicit WaitSteps(LogList *list) : list(list) { sinceBeat.start(); }
    void step() {
        QThread::msleep(waitStepMs);
        if (sinceBeat.hasExpired(heartbeatMs)) {
            UR::addHeartBeat(list);
            sinceBeat.restart();
        }
    }

private:
    LogList *list;
    QElapsedTimer sinceBeat;
};

// Values that are the robot's current ones: it is connected, its last read went well, and
// its newest robot state is recent. Waits are on the monotonic clock, as ages are.
bool current(const urinstance &copy) {
    if (!copy.connected || (copy.dataReceived && copy.errorCount > 0))
        return false;
    return copy.lastStateMs == 0 || monotonicMs() - copy.lastStateMs <= staleStateMs;
}

// A value is the robot's current one only while its group of values is: decoded on this
// connection, and younger than a few robot states. Alarms are events and keep their value.
bool groupCurrent(const urinstance &copy, ValueGroup group, int64_t nowMs) {
    if (group == ValueGroup::Alarms)
        return true;
    const int64_t decodedAt = groupDecodedMs(copy, group);
    return decodedAt > 0 && nowMs - decodedAt <= staleStateMs;
}

bool fail(LogList *list, const QString &text) {
    list->errorText = text;
    return false;
}

bool notConnected(LogList *list, const urinstance &copy) {
    HostGateway::logErrorQueued(QStringLiteral("Robot not connected ") + copy.device.address);
    return fail(list, notConnectedText);
}

} // namespace

bool UR::readData(LogList *list) {
    try {
        return readCycle(list);
    } catch (...) {
        // Nothing may escape into the host's thread.
        return fail(list, notConnectedText);
    }
}

bool UR::readCycle(LogList *list) {
    const QString address = list->address;
    // The read's own lines join the worker's queue: a reader never waits for the host to take
    // each of them.
    HostGateway::logDebugQueued(QStringLiteral("UR read data. Count: ") +
                                QString::number(list->items.size()) +
                                QStringLiteral(" from IP: ") + address);

    // Wait for the worker to publish the robot's record, deciding on a fresh copy each step.
    urinstance copy;
    int64_t copiedMs = 0; // when the copy in hand was taken
    WaitSteps steps(list);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        bool published = false;
        const Lookup lookup = fetch(address, &copy, &published);
        copiedMs = monotonicMs();
        if (lookup == Lookup::NoWorker || lookup == Lookup::GivenUp)
            return fail(list, notConnectedText);
        if (lookup == Lookup::Found && copy.initialized)
            break;
        if (waited.hasExpired(recordWaitMs)) {
            // Published without it: a device configured after the worker built its list.
            // Told once, at once.
            if (lookup == Lookup::NotFound && published && giveUp(address))
                logError(
                    QStringLiteral("Robot ") + address +
                    QStringLiteral(" is not known to the running worker. The plug-in must be "
                                   "restarted to pick it up"));
            return fail(list, notConnectedText);
        }
        steps.step();
    }

    // A robot that delivered data but whose last read failed, or whose newest robot state is
    // old, is not delivering now. (One that never delivered waits for data below.)
    if (!current(copy))
        return notConnected(list, copy);

    QMap<QString, QString> identity;
    identity.insert(QStringLiteral("vendor"), QStringLiteral("Universal Robots"));
    identity.insert(QStringLiteral("model"), copy.projectName);
    if (copy.versionMajor > 0 || copy.versionMinor > 0)
        identity.insert(QStringLiteral("firmware"), QString::number(copy.versionMajor) +
                                                        QStringLiteral(".") +
                                                        QString::number(copy.versionMinor));
    try {
        noru_identity::publishValues(&interface, list, identity, nullptr);
    } catch (...) {
        // A host call that throws costs the identity values of this cycle, not the values.
    }

    // Values only come from decoded robot states: a peer that sends anything else, or
    // nothing, has none to report.
    if (copy.lastStateMs == 0) {
        QElapsedTimer waiting;
        waiting.start();
        for (;;) {
            if (waiting.hasExpired(dataWaitMs))
                return fail(list, noDataText);
            steps.step();
            const Lookup lookup = fetch(address, &copy, nullptr);
            copiedMs = monotonicMs();
            if (lookup == Lookup::NoWorker || lookup == Lookup::GivenUp)
                return fail(list, notConnectedText);
            if (copy.lastStateMs != 0)
                break;
        }
        // The state has come, but the robot may have gone since.
        if (!current(copy))
            return notConnected(list, copy);
    }

    // Every value is aged at the moment of the copy: what the host does meanwhile (identity
    // values, log lines) changes none.
    const QString suffix = QStringLiteral("_") + QString::number(list->id);
    const QString valueKey = QStringLiteral("value");
    for (int i = 0; i < list->items.size(); ++i) {
        const ItemInstancePlugin &item = list->items.at(i).item;
        if (item.uid.startsWith(QLatin1String("identity_")))
            continue;
        HostGateway::logDebugQueued(QStringLiteral("UR reading ") + item.name +
                                    QStringLiteral(" (UID: ") + item.uid +
                                    QStringLiteral(") from IP: ") + copy.device.address);

        QString value;
        if (const RobotValueItem *known = robotValueItem(item.uid, suffix)) {
            if (!groupCurrent(copy, known->group, copiedMs) || !known->read(copy, &value))
                continue;
        } else {
            auto found = copy.variableValues.constFind(item.uid);
            if (found == copy.variableValues.constEnd())
                continue;
            value = found.value();
        }
        list->items[i].values.insert(valueKey, value);
    }
    return true;
}

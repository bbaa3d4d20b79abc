// The host's periodic read of one robot: identity values, then the requested items.
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
// A device that the running worker never published is given up after this long.
const int unknownRobotGiveUpMs = 20000;
const int dataWaitMs = 20000;
// A controller sends ten robot states a second: values older than this are not current.
const int64_t staleStateMs = 2000;

enum class Lookup { Found, NotFound, NoWorker, GivenUp };

// One copy of the robot's published record, taken while the worker is known to exist.
Lookup fetch(const QString &address, urinstance *copy, bool *published) {
    QReadLocker lifetime(&workerLifetimeLock);
    if (!UR::worker)
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
    logDebug(QStringLiteral("UR read data. Count: ") + QString::number(list->items.size()) +
             QStringLiteral(" from IP: ") + address);

    // Wait for the worker to publish the robot's record.
    urinstance copy;
    QElapsedTimer unknownFor;
    for (;;) {
        bool published = false;
        const Lookup lookup = fetch(address, &copy, &published);
        if (lookup == Lookup::NoWorker || lookup == Lookup::GivenUp)
            return fail(list, notConnectedText);
        if (lookup == Lookup::Found && copy.initialized)
            break;
        if (lookup == Lookup::NotFound && published) {
            if (!unknownFor.isValid()) {
                unknownFor.start();
            } else if (unknownFor.hasExpired(unknownRobotGiveUpMs)) {
                if (giveUp(address))
                    logError(QStringLiteral("Robot ") + address +
                             QStringLiteral(" is not known to the running worker. The plug-in "
                                            "must be restarted to pick it up"));
                return fail(list, notConnectedText);
            }
        }
        QThread::sleep(1);
        addHeartBeat(list);
        if (lookup == Lookup::Found)
            break;
    }

    // A robot that delivered data but whose last read failed, or whose newest robot state is
    // old, is not delivering now. (One that never delivered waits for data below.)
    if (!current(copy)) {
        logError(QStringLiteral("Robot not connected ") + copy.device.address);
        return fail(list, notConnectedText);
    }

    QMap<QString, QString> identity;
    identity.insert(QStringLiteral("vendor"), QStringLiteral("Universal Robots"));
    identity.insert(QStringLiteral("model"), copy.projectName);
    if (copy.versionMajor > 0 || copy.versionMinor > 0)
        identity.insert(QStringLiteral("firmware"), QString::number(copy.versionMajor) +
                                                        QStringLiteral(".") +
                                                        QString::number(copy.versionMinor));
    noru_identity::publishValues(&interface, list, identity, nullptr);

    // Values only come from decoded robot states: a peer that sends anything else, or
    // nothing, has none to report.
    if (copy.lastStateMs == 0) {
        QElapsedTimer waiting;
        waiting.start();
        for (;;) {
            if (copy.lastStateMs != 0)
                break;
            if (waiting.hasExpired(dataWaitMs))
                return fail(list, noDataText);
            QThread::sleep(1);
            addHeartBeat(list);
            const Lookup lookup = fetch(address, &copy, nullptr);
            if (lookup == Lookup::NoWorker || lookup == Lookup::GivenUp)
                return fail(list, notConnectedText);
        }
    }

    const QString suffix = QStringLiteral("_") + QString::number(list->id);
    const QString valueKey = QStringLiteral("value");
    for (int i = 0; i < list->items.size(); ++i) {
        const ItemInstancePlugin &item = list->items.at(i).item;
        if (item.uid.startsWith(QLatin1String("identity_")))
            continue;
        logDebug(QStringLiteral("UR reading ") + item.name + QStringLiteral(" (UID: ") + item.uid +
                 QStringLiteral(") from IP: ") + copy.device.address);

        QString value;
        if (const RobotValueItem *known = robotValueItem(item.uid, suffix)) {
            // Aged at the moment of reading: the host's log calls in this loop can be slow.
            if (!groupCurrent(copy, known->group, monotonicMs()) || !known->read(copy, &value))
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

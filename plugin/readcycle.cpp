// The host's periodic read of one robot: identity values, then the requested items.
#include "noru_identity.h"
#include "robotitems.h"
#include "ur.h"
#include "urworker.h"
#include "workeraccess.h"

#include <QDateTime>
#include <QReadLocker>

namespace {

const QString notConnectedText = QStringLiteral("Could not connect to robot");
const QString noDataText = QStringLiteral("No data received from robot");
// A device that the running worker never published is given up after this long.
const int unknownRobotGiveUpSeconds = 20;
const int dataWaitSeconds = 20;

enum class Lookup { Found, NotFound, NoWorker };

// One copy of the robot's published record, taken while the worker is known to exist.
Lookup fetch(const QString &address, urinstance *copy, bool *published) {
    QReadLocker lifetime(&workerLifetimeLock);
    if (!UR::worker)
        return Lookup::NoWorker;
    bool found = false;
    *copy = UR::worker->getData(address, &found);
    if (published)
        *published = UR::worker->hasPublished();
    return found ? Lookup::Found : Lookup::NotFound;
}

bool fail(LogList *list, const QString &text) {
    list->errorText = text;
    return false;
}

} // namespace

bool UR::readData(LogList *list) {
    const QString address = list->address;
    logDebug(QStringLiteral("UR read data. Count: ") + QString::number(list->items.size()) +
             QStringLiteral(" from IP: ") + address);

    // Wait for the worker to publish the robot's record.
    urinstance copy;
    QDateTime unknownSince;
    for (;;) {
        bool published = false;
        const Lookup lookup = fetch(address, &copy, &published);
        if (lookup == Lookup::NoWorker)
            return fail(list, notConnectedText);
        if (lookup == Lookup::Found && copy.initialized)
            break;
        if (lookup == Lookup::NotFound && published) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            if (!unknownSince.isValid())
                unknownSince = now;
            else if (unknownSince.msecsTo(now) > unknownRobotGiveUpSeconds * 1000) {
                logError(QStringLiteral("Robot ") + address +
                         QStringLiteral(" is not known to the running worker. The plug-in must "
                                        "be restarted to pick it up"));
                return fail(list, notConnectedText);
            }
        }
        QThread::sleep(1);
        addHeartBeat(list);
        if (lookup == Lookup::Found)
            break;
    }

    // A robot that delivered data but whose last read failed is not delivering now: its
    // values are as old as that read. (One that never delivered waits for data below.)
    if (!copy.connected || (copy.dataReceived && copy.errorCount > 0)) {
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

    if (!copy.dataReceived) {
        const QDateTime start = QDateTime::currentDateTimeUtc();
        for (;;) {
            if (copy.dataReceived)
                break;
            if (start.msecsTo(QDateTime::currentDateTimeUtc()) > dataWaitSeconds * 1000)
                return fail(list, noDataText);
            QThread::sleep(1);
            addHeartBeat(list);
            if (fetch(address, &copy, nullptr) == Lookup::NoWorker)
                return fail(list, notConnectedText);
        }
    }

    const QString suffix = QStringLiteral("_") + QString::number(list->id);
    const QString valueKey = QStringLiteral("value");
    const QList<RobotValueItem> &fixedItems = robotValueItems();
    for (int i = 0; i < list->items.size(); ++i) {
        const ItemInstancePlugin &item = list->items.at(i).item;
        if (item.uid.startsWith(QLatin1String("identity_")))
            continue;
        logDebug(QStringLiteral("UR reading ") + item.name + QStringLiteral(" (UID: ") + item.uid +
                 QStringLiteral(") from IP: ") + copy.device.address);

        QString value;
        const int row = robotValueItemIndex(item.uid, suffix);
        if (row >= 0) {
            if (!fixedItems.at(row).read(copy, &value))
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

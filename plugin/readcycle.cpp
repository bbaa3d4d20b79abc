// The host's periodic read of one robot: identity values, then the requested items.
#include "noru_identity.h"
#include "ur.h"
#include "urworker.h"
#include "workeraccess.h"

#include <QDateTime>
#include <QHash>
#include <QReadLocker>

#include <functional>

namespace {

const QString notConnectedText = QStringLiteral("Could not connect to robot");
const QString noDataText = QStringLiteral("No data received from robot");
// A device that the running worker never published is given up after this long.
const int unknownRobotGiveUpSeconds = 20;
const int dataWaitSeconds = 20;

using ValueReader = std::function<bool(const urinstance &, QString *)>;

QString realText(double value) { return QString::number(value, 'g', 6); }

ValueReader integer(std::function<int(const urinstance &)> field)
{
    return [field](const urinstance &r, QString *out) {
        *out = QString::number(field(r));
        return true;
    };
}

ValueReader real(std::function<double(const urinstance &)> field)
{
    return [field](const urinstance &r, QString *out) {
        *out = realText(field(r));
        return true;
    };
}

// Joint values exist only once a joint sub-package has arrived; before that the item
// gets no value rather than a reading the robot never sent.
ValueReader joint(int index, bool temperature)
{
    return [index, temperature](const urinstance &r, QString *out) {
        if (index >= r.joints.size())
            return false;
        const robotstate_joint &j = r.joints.at(index);
        *out = realText(temperature ? j.motorTemperature : j.actualCurrent);
        return true;
    };
}

struct FixedItem {
    const char *name;
    ValueReader read;
};

const QList<FixedItem> &fixedItems()
{
    static const QList<FixedItem> items = {
        {"emergency_stopped", integer([](const urinstance &r) { return r.modeData.isEmergencyStopped; })},
        {"protective_stopped", integer([](const urinstance &r) { return r.modeData.isProtectiveStopped; })},
        {"program_running", integer([](const urinstance &r) { return r.modeData.isProgramRunning; })},
        {"program_paused", integer([](const urinstance &r) { return r.modeData.isProgramPaused; })},
        {"base_temperature", joint(0, true)},
        {"base_current", joint(0, false)},
        {"shoulder_temperature", joint(1, true)},
        {"shoulder_current", joint(1, false)},
        {"elbow_temperature", joint(2, true)},
        {"elbow_current", joint(2, false)},
        {"wrist1_temperature", joint(3, true)},
        {"wrist1_current", joint(3, false)},
        {"wrist2_temperature", joint(4, true)},
        {"wrist2_current", joint(4, false)},
        {"wrist3_temperature", joint(5, true)},
        {"wrist3_current", joint(5, false)},
        {"tool_analog_input_2", real([](const urinstance &r) { return r.toolData.analogInput2; })},
        {"tool_analog_input_3", real([](const urinstance &r) { return r.toolData.analogInput3; })},
        {"tool_output_voltage", integer([](const urinstance &r) { return r.toolData.toolOutputVoltage; })},
        {"tool_current", real([](const urinstance &r) { return r.toolData.toolCurrent; })},
        {"tool_temperature", real([](const urinstance &r) { return r.toolData.toolTemperature; })},
        {"master_digital_input_bits",
         [](const urinstance &r, QString *out) {
             *out = QString::number(r.masterboardData.digitalInputBits);
             return true;
         }},
        {"master_digital_output_bits",
         [](const urinstance &r, QString *out) {
             *out = QString::number(r.masterboardData.digitalOutputBits);
             return true;
         }},
        {"analog_input_0", real([](const urinstance &r) { return r.masterboardData.analogInput0; })},
        {"analog_input_1", real([](const urinstance &r) { return r.masterboardData.analogInput1; })},
        {"analog_output_0", real([](const urinstance &r) { return r.masterboardData.analogOutput0; })},
        {"analog_output_1", real([](const urinstance &r) { return r.masterboardData.analogOutput1; })},
        {"master_temperature", real([](const urinstance &r) { return r.masterboardData.masterBoardTemperature; })},
        {"master_voltage_48v", real([](const urinstance &r) { return r.masterboardData.robotVoltage48V; })},
        {"master_robot_current", real([](const urinstance &r) { return r.masterboardData.robotCurrent; })},
        {"master_io_current", real([](const urinstance &r) { return r.masterboardData.masterIOCurrent; })},
        {"master_safety_mode", integer([](const urinstance &r) { return r.masterboardData.safetyMode; })},
        {"master_reduced_mode", integer([](const urinstance &r) { return r.masterboardData.inReducedMode; })},
        {"force_x", real([](const urinstance &r) { return r.forceData.x; })},
        {"force_y", real([](const urinstance &r) { return r.forceData.y; })},
        {"force_z", real([](const urinstance &r) { return r.forceData.z; })},
        {"force_rx", real([](const urinstance &r) { return r.forceData.rx; })},
        {"force_ry", real([](const urinstance &r) { return r.forceData.ry; })},
        {"force_rz", real([](const urinstance &r) { return r.forceData.rz; })},
    };
    return items;
}

const QHash<QString, int> &fixedItemIndex()
{
    static const QHash<QString, int> index = [] {
        QHash<QString, int> h;
        const QList<FixedItem> &items = fixedItems();
        for (int i = 0; i < items.size(); ++i)
            h.insert(QString::fromLatin1(items.at(i).name), i);
        return h;
    }();
    return index;
}

enum class Lookup { Found, NotFound, NoWorker };

// One copy of the robot's published record, taken while the worker is known to exist.
Lookup fetch(const QString &address, urinstance *copy, bool *published)
{
    QReadLocker lifetime(&workerLifetimeLock);
    if (!UR::worker)
        return Lookup::NoWorker;
    bool found = false;
    *copy = UR::worker->getData(address, &found);
    if (published)
        *published = UR::worker->hasPublished();
    return found ? Lookup::Found : Lookup::NotFound;
}

bool fail(LogList *list, const QString &text)
{
    list->errorText = text;
    return false;
}

} // namespace

bool UR::readData(LogList *list)
{
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

    if (!copy.connected) {
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
    const QHash<QString, int> &index = fixedItemIndex();
    for (int i = 0; i < list->items.size(); ++i) {
        const ItemInstancePlugin &item = list->items.at(i).item;
        if (item.uid.startsWith(QLatin1String("identity_")))
            continue;
        logDebug(QStringLiteral("UR reading ") + item.name + QStringLiteral(" (UID: ") + item.uid +
                 QStringLiteral(") from IP: ") + copy.device.address);

        QString value;
        const int row = item.uid.endsWith(suffix)
                            ? index.value(item.uid.left(item.uid.size() - suffix.size()), -1)
                            : -1;
        if (row >= 0) {
            if (!fixedItems().at(row).read(copy, &value))
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

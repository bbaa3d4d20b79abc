#include "robotitems.h"

#include "valuetext.h"

#include <QHash>

namespace {

const QString celsius = QString::fromUtf8("C\u00b0");
const QString amperes = QStringLiteral("A");
const QString volts = QStringLiteral("V");
const QString radians = QStringLiteral("rad");
const QString seconds = QStringLiteral("s");

using G = ValueGroup;

RobotValueItem integer(const char *key, const char *name, const QString &unit, ValueGroup group,
                       std::function<int(const urinstance &)> field) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), unit, group,
            [field](const urinstance &r, QString *out) {
                *out = QString::number(field(r));
                return true;
            }};
}

RobotValueItem unsignedBits(const char *key, const char *name,
                            std::function<uint32_t(const urinstance &)> field) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), QString(), G::Masterboard,
            [field](const urinstance &r, QString *out) {
                *out = QString::number(field(r));
                return true;
            }};
}

RobotValueItem real(const char *key, const char *name, const QString &unit, ValueGroup group,
                    std::function<double(const urinstance &)> field) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), unit, group,
            [field](const urinstance &r, QString *out) {
                *out = realText(field(r));
                return true;
            }};
}

// Joint values exist only once a joint sub-package has arrived; before that the item
// gets no value rather than a reading the robot never sent.
RobotValueItem joint(const char *key, const char *name, int index, bool temperature) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), temperature ? celsius : amperes,
            G::Joints, [index, temperature](const urinstance &r, QString *out) {
                if (index >= r.joints.size())
                    return false;
                const robotstate_joint &j = r.joints.at(index);
                *out = realText(temperature ? j.motorTemperature : j.actualCurrent);
                return true;
            }};
}

// A robot mode field of size bytes at offset: no value when the robot mode data that arrived
// was too short to hold it.
bool modeHolds(const urinstance &r, uint32_t offset, uint32_t size) {
    return r.modeData.packageBytes >= offset + size;
}

// A byte as received; signed where the controller sends a signed byte (robot mode -1: no
// controller).
RobotValueItem modeByte(const char *key, const char *name, uint32_t offset,
                        uint8_t robotstate_mode::*field, bool isSigned) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), QString(), G::Mode,
            [offset, field, isSigned](const urinstance &r, QString *out) {
                if (!modeHolds(r, offset, 1))
                    return false;
                const uint8_t byte = r.modeData.*field;
                *out = QString::number(isSigned ? int(int8_t(byte)) : int(byte));
                return true;
            }};
}

RobotValueItem modeReal(const char *key, const char *name, uint32_t offset,
                        double robotstate_mode::*field) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), QString(), G::Mode,
            [offset, field](const urinstance &r, QString *out) {
                if (!modeHolds(r, offset, 8))
                    return false;
                *out = realText(r.modeData.*field);
                return true;
            }};
}

// Joint positions: joint index's actual position, the first double of its 41 bytes.
RobotValueItem position(const char *key, const char *name, int index) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), radians, G::Joints,
            [index](const urinstance &r, QString *out) {
                if (index >= r.joints.size() || r.jointPackageBytes < 5 + 41 * uint32_t(index) + 8)
                    return false;
                *out = realText(r.joints.at(index).actualPosition);
                return true;
            }};
}

// A counter of the record's utilisation in whole units (milliseconds per 1000 for seconds):
// decimal digits, so that it stays exact however large it grows. Counters are not aged: like
// alarms, they have a value whenever the robot's values are reported.
RobotValueItem counter(const char *key, const char *name, const QString &unit,
                       uint64_t robotstate_utilisation::*field, uint64_t per) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), unit, G::Alarms,
            [field, per](const urinstance &r, QString *out) {
                *out = QString::number(qulonglong(r.utilisation.*field / per));
                return true;
            }};
}

} // namespace

const QList<RobotValueItem> &robotValueItems() {
    using R = const urinstance &;
    static const QList<RobotValueItem> items = {
        integer("emergency_stopped", "Emergency stopped", {}, G::Mode,
                [](R r) { return r.modeData.isEmergencyStopped; }),
        integer("protective_stopped", "Protective stopped", {}, G::Mode,
                [](R r) { return r.modeData.isProtectiveStopped; }),
        integer("program_running", "Program running", {}, G::Mode,
                [](R r) { return r.modeData.isProgramRunning; }),
        integer("program_paused", "Program paused", {}, G::Mode,
                [](R r) { return r.modeData.isProgramPaused; }),
        joint("base_temperature", "Base motor temperature", 0, true),
        joint("base_current", "Base motor current", 0, false),
        joint("shoulder_temperature", "Shoulder motor temperature", 1, true),
        joint("shoulder_current", "Shoulder motor current", 1, false),
        joint("elbow_temperature", "Elbow motor temperature", 2, true),
        joint("elbow_current", "Elbow motor current", 2, false),
        joint("wrist1_temperature", "Wrist 1 motor temperature", 3, true),
        joint("wrist1_current", "Wrist 1 motor current", 3, false),
        joint("wrist2_temperature", "Wrist 2 motor temperature", 4, true),
        joint("wrist2_current", "Wrist 2 motor current", 4, false),
        joint("wrist3_temperature", "Wrist 3 motor temperature", 5, true),
        joint("wrist3_current", "Wrist 3 motor current", 5, false),
        real("tool_analog_input_2", "Tool analog input 2", {}, G::Tool,
             [](R r) { return r.toolData.analogInput2; }),
        real("tool_analog_input_3", "Tool analog input 3", {}, G::Tool,
             [](R r) { return r.toolData.analogInput3; }),
        integer("tool_output_voltage", "Tool output voltage", volts, G::Tool,
                [](R r) { return r.toolData.toolOutputVoltage; }),
        real("tool_current", "Tool current", amperes, G::Tool,
             [](R r) { return r.toolData.toolCurrent; }),
        real("tool_temperature", "Tool temperature", celsius, G::Tool,
             [](R r) { return r.toolData.toolTemperature; }),
        unsignedBits("master_digital_input_bits", "Digital input bits",
                     [](R r) { return r.masterboardData.digitalInputBits; }),
        unsignedBits("master_digital_output_bits", "Digital output bits",
                     [](R r) { return r.masterboardData.digitalOutputBits; }),
        real("analog_input_0", "Analog input 0", {}, G::Masterboard,
             [](R r) { return r.masterboardData.analogInput0; }),
        real("analog_input_1", "Analog input 1", {}, G::Masterboard,
             [](R r) { return r.masterboardData.analogInput1; }),
        real("analog_output_0", "Analog output 0", {}, G::Masterboard,
             [](R r) { return r.masterboardData.analogOutput0; }),
        real("analog_output_1", "Analog output_1", {}, G::Masterboard,
             [](R r) { return r.masterboardData.analogOutput1; }),
        real("master_temperature", "Controller temperature", celsius, G::Masterboard,
             [](R r) { return r.masterboardData.masterBoardTemperature; }),
        real("master_voltage_48v", "Main voltage", volts, G::Masterboard,
             [](R r) { return r.masterboardData.robotVoltage48V; }),
        real("master_robot_current", "Robot current", amperes, G::Masterboard,
             [](R r) { return r.masterboardData.robotCurrent; }),
        real("master_io_current", "IO current", amperes, G::Masterboard,
             [](R r) { return r.masterboardData.masterIOCurrent; }),
        integer("master_safety_mode", "Safety mode status", {}, G::Masterboard,
                [](R r) { return r.masterboardData.safetyMode; }),
        integer("master_reduced_mode", "Reduced mode", {}, G::Masterboard,
                [](R r) { return r.masterboardData.inReducedMode; }),
        real("force_x", "Force X", {}, G::Force, [](R r) { return r.forceData.x; }),
        real("force_y", "Force Y", {}, G::Force, [](R r) { return r.forceData.y; }),
        real("force_z", "Force Z", {}, G::Force, [](R r) { return r.forceData.z; }),
        real("force_rx", "Force Rx", {}, G::Force, [](R r) { return r.forceData.rx; }),
        real("force_ry", "Force Ry", {}, G::Force, [](R r) { return r.forceData.ry; }),
        real("force_rz", "Force Rz", {}, G::Force, [](R r) { return r.forceData.rz; }),
    };
    return items;
}

const QList<RobotValueItem> &extraRobotValueItems() {
    using R = const urinstance &;
    using M = robotstate_mode;
    using U = robotstate_utilisation;
    static const QList<RobotValueItem> items = {
        modeByte("robot_mode", "Robot mode", 20, &M::robotMode, true),
        modeByte("power_on", "Power on", 15, &M::isPowerOnRobot, false),
        modeByte("real_robot", "Real robot", 13, &M::isRealRobotConnected, false),
        modeReal("speed_slider", "Speed slider", 22, &M::speedSlider),
        modeReal("speed_scaling", "Speed scaling", 30, &M::actualSpeedScaling),
        position("base_position", "Base position", 0),
        position("shoulder_position", "Shoulder position", 1),
        position("elbow_position", "Elbow position", 2),
        position("wrist1_position", "Wrist 1 position", 3),
        position("wrist2_position", "Wrist 2 position", 4),
        position("wrist3_position", "Wrist 3 position", 5),
        {QStringLiteral("last_alarm"), QStringLiteral("Last alarm"), QString(), G::Alarms,
         [](R r, QString *out) {
             if (r.alarmCount == 0)
                 return false;
             *out = QStringLiteral("C") + QString::number(r.alarmCode) + QStringLiteral("A") +
                    QString::number(r.alarmArgument);
             return true;
         }},
        {QStringLiteral("alarm_count"), QStringLiteral("Alarm count"), QString(), G::Alarms,
         [](R r, QString *out) {
             *out = QString::number(r.alarmCount);
             return true;
         }},
        counter("connected_seconds", "Connected time", seconds, &U::connectedMs, 1000),
        counter("powered_seconds", "Powered time", seconds, &U::poweredMs, 1000),
        counter("program_running_seconds", "Program running time", seconds, &U::programRunningMs,
                1000),
        counter("program_starts", "Program starts", {}, &U::programStarts, 1),
        counter("protective_stops", "Protective stops", {}, &U::protectiveStops, 1),
        counter("emergency_stops", "Emergency stops", {}, &U::emergencyStops, 1),
    };
    return items;
}

int robotValueItemIndex(const QString &uid, const QString &suffix) {
    static const QHash<QString, int> index = [] {
        QHash<QString, int> byKey;
        const QList<RobotValueItem> &items = robotValueItems();
        for (int i = 0; i < items.size(); ++i)
            byKey.insert(items.at(i).key, i);
        return byKey;
    }();
    if (!uid.endsWith(suffix))
        return -1;
    return index.value(uid.left(uid.size() - suffix.size()), -1);
}

const RobotValueItem *robotValueItem(const QString &uid, const QString &suffix) {
    const int row = robotValueItemIndex(uid, suffix);
    if (row >= 0)
        return &robotValueItems().at(row);
    static const QHash<QString, int> extra = [] {
        QHash<QString, int> byKey;
        const QList<RobotValueItem> &items = extraRobotValueItems();
        for (int i = 0; i < items.size(); ++i)
            byKey.insert(items.at(i).key, i);
        return byKey;
    }();
    if (!uid.endsWith(suffix))
        return nullptr;
    const int index = extra.value(uid.left(uid.size() - suffix.size()), -1);
    return index < 0 ? nullptr : &extraRobotValueItems().at(index);
}

int64_t groupDecodedMs(const urinstance &robot, ValueGroup group) {
    switch (group) {
    case ValueGroup::Mode:
        return robot.decodedAtMs.mode;
    case ValueGroup::Joints:
        return robot.decodedAtMs.joints;
    case ValueGroup::Tool:
        return robot.decodedAtMs.tool;
    case ValueGroup::Masterboard:
        return robot.decodedAtMs.masterboard;
    case ValueGroup::Force:
        return robot.decodedAtMs.force;
    case ValueGroup::Alarms:
        break;
    }
    return -1;
}

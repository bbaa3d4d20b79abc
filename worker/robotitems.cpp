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

QString text(uint8_t value) {
    return QString::number(unsigned(value));
}
QString text(uint32_t value) {
    return QString::number(value);
}
QString text(double value) {
    return realText(value);
}

// A field of one of the record's blocks: it has a value only when it came with the block's
// newest sub-package (within its bytes, and in the layout of the robot's generation).
template <typename Block, typename Field, typename T>
RobotValueItem field(const char *key, const char *name, const QString &unit, ValueGroup group,
                     Block urinstance::*block, Field arrived, T Block::*member) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), unit, group,
            [block, arrived, member](const urinstance &r, QString *out) {
                const Block &b = r.*block;
                if (!b.arrived.has(arrived))
                    return false;
                *out = text(b.*member);
                return true;
            }};
}

template <typename T>
RobotValueItem mode(const char *key, const char *name, ModeField arrived,
                    T robotstate_mode::*member) {
    return field(key, name, QString(), G::Mode, &urinstance::modeData, arrived, member);
}

template <typename T>
RobotValueItem tool(const char *key, const char *name, const QString &unit, ToolField arrived,
                    T robotstate_tool::*member) {
    return field(key, name, unit, G::Tool, &urinstance::toolData, arrived, member);
}

template <typename T>
RobotValueItem board(const char *key, const char *name, const QString &unit,
                     MasterboardField arrived, T robotstate_masterboard::*member) {
    return field(key, name, unit, G::Masterboard, &urinstance::masterboardData, arrived, member);
}

RobotValueItem force(const char *key, const char *name, ForceField arrived,
                     double robotstate_force::*member) {
    return field(key, name, QString(), G::Force, &urinstance::forceData, arrived, member);
}

// A field of joint index: no value before the first joint data, nor when the joint data that
// arrived was cut short before the field.
template <typename T>
RobotValueItem joint(const char *key, const char *name, const QString &unit, int index,
                     JointField arrived, T robotstate_joint::*member) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), unit, G::Joints,
            [index, arrived, member](const urinstance &r, QString *out) {
                if (index >= r.joints.size() || !r.joints.at(index).arrived.has(arrived))
                    return false;
                *out = text(double(r.joints.at(index).*member));
                return true;
            }};
}

RobotValueItem temperature(const char *key, const char *name, int index) {
    return joint(key, name, celsius, index, JointField::motorTemperature,
                 &robotstate_joint::motorTemperature);
}

RobotValueItem current(const char *key, const char *name, int index) {
    return joint(key, name, amperes, index, JointField::actualCurrent,
                 &robotstate_joint::actualCurrent);
}

RobotValueItem position(const char *key, const char *name, int index) {
    return joint(key, name, radians, index, JointField::actualPosition,
                 &robotstate_joint::actualPosition);
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
    using M = robotstate_mode;
    using MF = ModeField;
    using T = robotstate_tool;
    using TF = ToolField;
    using B = robotstate_masterboard;
    using BF = MasterboardField;
    using F = robotstate_force;
    using FF = ForceField;
    static const QList<RobotValueItem> items = {
        mode("emergency_stopped", "Emergency stopped", MF::isEmergencyStopped,
             &M::isEmergencyStopped),
        mode("protective_stopped", "Protective stopped", MF::isProtectiveStopped,
             &M::isProtectiveStopped),
        mode("program_running", "Program running", MF::isProgramRunning, &M::isProgramRunning),
        mode("program_paused", "Program paused", MF::isProgramPaused, &M::isProgramPaused),
        temperature("base_temperature", "Base motor temperature", 0),
        current("base_current", "Base motor current", 0),
        temperature("shoulder_temperature", "Shoulder motor temperature", 1),
        current("shoulder_current", "Shoulder motor current", 1),
        temperature("elbow_temperature", "Elbow motor temperature", 2),
        current("elbow_current", "Elbow motor current", 2),
        temperature("wrist1_temperature", "Wrist 1 motor temperature", 3),
        current("wrist1_current", "Wrist 1 motor current", 3),
        temperature("wrist2_temperature", "Wrist 2 motor temperature", 4),
        current("wrist2_current", "Wrist 2 motor current", 4),
        temperature("wrist3_temperature", "Wrist 3 motor temperature", 5),
        current("wrist3_current", "Wrist 3 motor current", 5),
        tool("tool_analog_input_2", "Tool analog input 2", {}, TF::analogInput2, &T::analogInput2),
        tool("tool_analog_input_3", "Tool analog input 3", {}, TF::analogInput3, &T::analogInput3),
        tool("tool_output_voltage", "Tool output voltage", volts, TF::toolOutputVoltage,
             &T::toolOutputVoltage),
        tool("tool_current", "Tool current", amperes, TF::toolCurrent, &T::toolCurrent),
        tool("tool_temperature", "Tool temperature", celsius, TF::toolTemperature,
             &T::toolTemperature),
        board("master_digital_input_bits", "Digital input bits", {}, BF::digitalInputBits,
              &B::digitalInputBits),
        board("master_digital_output_bits", "Digital output bits", {}, BF::digitalOutputBits,
              &B::digitalOutputBits),
        board("analog_input_0", "Analog input 0", {}, BF::analogInput0, &B::analogInput0),
        board("analog_input_1", "Analog input 1", {}, BF::analogInput1, &B::analogInput1),
        board("analog_output_0", "Analog output 0", {}, BF::analogOutput0, &B::analogOutput0),
        board("analog_output_1", "Analog output_1", {}, BF::analogOutput1, &B::analogOutput1),
        board("master_temperature", "Controller temperature", celsius, BF::masterBoardTemperature,
              &B::masterBoardTemperature),
        board("master_voltage_48v", "Main voltage", volts, BF::robotVoltage48V,
              &B::robotVoltage48V),
        board("master_robot_current", "Robot current", amperes, BF::robotCurrent, &B::robotCurrent),
        board("master_io_current", "IO current", amperes, BF::masterIOCurrent, &B::masterIOCurrent),
        board("master_safety_mode", "Safety mode status", {}, BF::safetyMode, &B::safetyMode),
        board("master_reduced_mode", "Reduced mode", {}, BF::inReducedMode, &B::inReducedMode),
        force("force_x", "Force X", FF::x, &F::x),
        force("force_y", "Force Y", FF::y, &F::y),
        force("force_z", "Force Z", FF::z, &F::z),
        force("force_rx", "Force Rx", FF::rx, &F::rx),
        force("force_ry", "Force Ry", FF::ry, &F::ry),
        force("force_rz", "Force Rz", FF::rz, &F::rz),
    };
    return items;
}

const QList<RobotValueItem> &extraRobotValueItems() {
    using R = const urinstance &;
    using M = robotstate_mode;
    using U = robotstate_utilisation;
    using MF = ModeField;
    static const QList<RobotValueItem> items = {
        // A signed byte (-1: no controller), numbered as from CB3 on; a CB2 mode byte is
        // numbered otherwise and is no value of this item.
        {QStringLiteral("robot_mode"), QStringLiteral("Robot mode"), QString(), G::Mode,
         [](R r, QString *out) {
             if (!r.modeData.arrived.has(ModeField::robotMode))
                 return false;
             *out = QString::number(int(int8_t(r.modeData.robotMode)));
             return true;
         }},
        mode("power_on", "Power on", MF::isPowerOnRobot, &M::isPowerOnRobot),
        mode("real_robot", "Real robot", MF::isRealRobotConnected, &M::isRealRobotConnected),
        mode("speed_slider", "Speed slider", MF::targetSpeedFraction, &M::targetSpeedFraction),
        mode("speed_scaling", "Speed scaling", MF::speedScaling, &M::speedScaling),
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

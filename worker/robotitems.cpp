#include "robotitems.h"

#include "valuetext.h"

#include <QHash>

namespace {

const QString celsius = QString::fromUtf8("C\u00b0");
const QString amperes = QStringLiteral("A");
const QString volts = QStringLiteral("V");

RobotValueItem integer(const char *key, const char *name, const QString &unit,
                       std::function<int(const urinstance &)> field) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), unit,
            [field](const urinstance &r, QString *out) {
                *out = QString::number(field(r));
                return true;
            }};
}

RobotValueItem unsignedBits(const char *key, const char *name,
                            std::function<uint32_t(const urinstance &)> field) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), QString(),
            [field](const urinstance &r, QString *out) {
                *out = QString::number(field(r));
                return true;
            }};
}

RobotValueItem real(const char *key, const char *name, const QString &unit,
                    std::function<double(const urinstance &)> field) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), unit,
            [field](const urinstance &r, QString *out) {
                *out = realText(field(r));
                return true;
            }};
}

// Joint values exist only once a joint sub-package has arrived; before that the item
// gets no value rather than a reading the robot never sent.
RobotValueItem joint(const char *key, const char *name, int index, bool temperature) {
    return {QString::fromLatin1(key), QString::fromLatin1(name), temperature ? celsius : amperes,
            [index, temperature](const urinstance &r, QString *out) {
                if (index >= r.joints.size())
                    return false;
                const robotstate_joint &j = r.joints.at(index);
                *out = realText(temperature ? j.motorTemperature : j.actualCurrent);
                return true;
            }};
}

} // namespace

const QList<RobotValueItem> &robotValueItems() {
    using R = const urinstance &;
    static const QList<RobotValueItem> items = {
        integer("emergency_stopped", "Emergency stopped", {},
                [](R r) { return r.modeData.isEmergencyStopped; }),
        integer("protective_stopped", "Protective stopped", {},
                [](R r) { return r.modeData.isProtectiveStopped; }),
        integer("program_running", "Program running", {},
                [](R r) { return r.modeData.isProgramRunning; }),
        integer("program_paused", "Program paused", {},
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
        real("tool_analog_input_2", "Tool analog input 2", {},
             [](R r) { return r.toolData.analogInput2; }),
        real("tool_analog_input_3", "Tool analog input 3", {},
             [](R r) { return r.toolData.analogInput3; }),
        integer("tool_output_voltage", "Tool output voltage", volts,
                [](R r) { return r.toolData.toolOutputVoltage; }),
        real("tool_current", "Tool current", amperes, [](R r) { return r.toolData.toolCurrent; }),
        real("tool_temperature", "Tool temperature", celsius,
             [](R r) { return r.toolData.toolTemperature; }),
        unsignedBits("master_digital_input_bits", "Digital input bits",
                     [](R r) { return r.masterboardData.digitalInputBits; }),
        unsignedBits("master_digital_output_bits", "Digital output bits",
                     [](R r) { return r.masterboardData.digitalOutputBits; }),
        real("analog_input_0", "Analog input 0", {},
             [](R r) { return r.masterboardData.analogInput0; }),
        real("analog_input_1", "Analog input 1", {},
             [](R r) { return r.masterboardData.analogInput1; }),
        real("analog_output_0", "Analog output 0", {},
             [](R r) { return r.masterboardData.analogOutput0; }),
        real("analog_output_1", "Analog output_1", {},
             [](R r) { return r.masterboardData.analogOutput1; }),
        real("master_temperature", "Controller temperature", celsius,
             [](R r) { return r.masterboardData.masterBoardTemperature; }),
        real("master_voltage_48v", "Main voltage", volts,
             [](R r) { return r.masterboardData.robotVoltage48V; }),
        real("master_robot_current", "Robot current", amperes,
             [](R r) { return r.masterboardData.robotCurrent; }),
        real("master_io_current", "IO current", amperes,
             [](R r) { return r.masterboardData.masterIOCurrent; }),
        integer("master_safety_mode", "Safety mode status", {},
                [](R r) { return r.masterboardData.safetyMode; }),
        integer("master_reduced_mode", "Reduced mode", {},
                [](R r) { return r.masterboardData.inReducedMode; }),
        real("force_x", "Force X", {}, [](R r) { return r.forceData.x; }),
        real("force_y", "Force Y", {}, [](R r) { return r.forceData.y; }),
        real("force_z", "Force Z", {}, [](R r) { return r.forceData.z; }),
        real("force_rx", "Force Rx", {}, [](R r) { return r.forceData.rx; }),
        real("force_ry", "Force Ry", {}, [](R r) { return r.forceData.ry; }),
        real("force_rz", "Force Rz", {}, [](R r) { return r.forceData.rz; }),
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

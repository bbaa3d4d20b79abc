// Real controller bytes: the decoded values must match what the captures hold, however the
// stream is cut into reads; and the encoder must give back the controller's own bytes.
#include "decoder_support.h"

namespace {

class DecoderCaptures : public DecoderTest {};

QByteArray capture(const char *name) {
    return urenc::capture(UR_VECTORS_DIR, name);
}
const QByteArray first58 = capture("eseries-5.8-first-robot-state.bin");
const QByteArray version524 = capture("eseries-5.24-version-message.bin");
const QByteArray three510 = capture("eseries-5.10-three-robot-states.bin");
const QByteArray hardware = capture("eseries-5.x-hardware-robot-state.bin");
const QByteArray cb2 = capture("cb2-1.x-robot-state-port30002.bin");
const QByteArray cb2First = capture("cb2-1.x-first-robot-state-1254.bin");
const QByteArray greeting310 = capture("cb3-3.10-first-messages-port30002.bin");

int lengthAt(const QByteArray &bytes, int at) {
    return int(qFromBigEndian<quint32>(bytes.constData() + at));
}

// Every generation at its own layout, told by the lengths of its sub-packages alone (no version
// message needed): each item's text, in the order of the items (the 39 defaults, then the values
// on request but the alarms); "none" where a generation has no such value (CB2: robot modes
// numbered otherwise, no speed scaling, safety mode or reduced mode).
TEST_F(DecoderCaptures, EveryItemOfEachGeneration) {
    ASSERT_EQ(first58.size() + version524.size() + three510.size() + hardware.size(), 4271);
    ASSERT_EQ(cb2.size() + cb2First.size() + greeting310.size(), 2024);
    const std::pair<QByteArray, const char *> table[] = {
        {first58, "0 0 0 0 25.5 -1.82659e-17 25 2.14101 24.5 1.49267 24 0.233139 23.5 0.00175492 "
                  "23.5 0 0 0 0 0 0 0 0 0 0 0.004 0.004 24 48 0 0 1 0 0 0 0 0 0 0 7 1 1 0.97 0 "
                  "-1.6007 -1.7271 -2.203 -0.808 1.5951 -0.031"},
        {hardware, "0 0 0 0 32.37 0.302124 33.52 6.02417 35.15 3.92093 37.37 0.410477 39.81 "
                   "-0.10318 41.33 0.0829926 0.0466918 0.045758 0 0.006 7 0 0 0.0362551 0.068481 "
                   "0.004 0.004 37.3164 48.1302 0.716145 -0.357577 1 0 0 0 0 0 0 0 7 1 1 1 0 "
                   "-1.45381 -2.05156 -0.682536 -1.96945 1.50738 1.29538"},
        {cb2First, "0 0 0 0 28 0.0694961 28.8 2.02884 28 1.57375 33.2 0.256207 35.2 0.256207 "
                   "36.3 0.147929 0.0180542 0.0157196 0 0.006 51 0 0 0 0.000610501 0 0 30.7 48.3 "
                   "0.773346 0 none none 0 0 0 0 0 0 none 1 1 1 none 4.65307 -1.56342 -1.22394 "
                   "-1.94427 1.62652 -1.58006"},
        {cb2, "0 0 0 0 24.9 0.452846 24.9 0.244357 22.8 -1.86519 25.2 0.0823522 25.9 0.0884524 "
              "25 0.0137254 0.00902708 0.00715941 0 0.006 40 0 0 0.000763126 0 0 0 23.5 48.1 "
              "0.703667 0.004 none none 0 0 0 0 0 0 none 1 1 1 none -3.85989 -2.26254 2.39169 "
              "-1.99611 2.87552 -2.08207"}};
    for (const auto &row : table) {
        // After a state of the other generation: the layout is chosen anew for every sub-package.
        urinstance robot = decode(row.first == cb2 || row.first == cb2First ? first58 : cb2);
        feed(&robot, row.first);
        QStringList texts;
        for (const QList<RobotValueItem> *items : {&robotValueItems(), &extraRobotValueItems()}) {
            for (const RobotValueItem &item : *items)
                if (item.group != ValueGroup::Alarms)
                    texts << itemText(robot, item.key).replace("<none>", "none");
        }
        EXPECT_EQ(texts.join(' '), row.second) << "capture of " << row.first.size() << " bytes";
    }
    urinstance robot = decode(first58 + version524);
    EXPECT_EQ(robot.projectName + QString(" %1.%2").arg(robot.versionMajor).arg(robot.versionMinor),
              "URControl 5.24");
    robot = decode(three510.left(716));
    EXPECT_EQ(robot.messageLength, 716);
    EXPECT_EQ(robot.joints.value(5).jointMode, 253);
    // Nothing before any robot state; robot mode -1 (no controller) is a signed byte.
    EXPECT_EQ(itemText(robotAt("127.0.0.9"), "base_position"), "<none>");
    EXPECT_EQ(itemText(robotAt("127.0.0.9"), "robot_mode"), "<none>");
    robotstate_mode noController;
    noController.robotMode = 255;
    robot = decode(urenc::robotStateMessage({urenc::robotModePackage(noController)}));
    EXPECT_EQ(itemText(robot, "robot_mode"), "-1");

    // A set Euromap 67 flag is followed by its block (12 bytes on CB2, 16 later), which moves
    // nothing that is read.
    const int board = 616; // the CB2 capture's master board, 64 bytes
    QByteArray euromap = cb2First;
    euromap[board + 63] = 1;
    euromap.insert(board + 64, QByteArray(12, '\x5A'));
    euromap.replace(board, 4, QByteArray::fromHex("0000004c"));
    EXPECT_EQ(difference(decode(withLength(euromap, 1266)), decode(cb2First)), "");
    QByteArray later = urenc::masterboardPackage(sample(2).masterboardData);
    later[67] = 1;
    later = withLength(later.insert(68, QByteArray(16, '\x5A')), 91);
    urinstance expected;
    expected.masterboardData = sample(2).masterboardData;
    EXPECT_EQ(difference(decode(urenc::robotStateMessage({later})), expected), "");
}

// A CB3 3.10 greeting: its version, then a robot message of the undocumented sub-type 12 and a
// message of type 24, both passed over in silence.
TEST_F(DecoderCaptures, CB3Greeting) {
    urinstance robot = robotAt("127.0.0.9");
    const DecodeResult result = URWrapper().decode(&robot, greeting310.constData(), 260);
    EXPECT_EQ(result.messages, 2);
    urinstance expected;
    expected.projectName = "URControl";
    expected.versionMajor = 3;
    expected.versionMinor = 10;
    EXPECT_EQ(difference(robot, expected), "");
    EXPECT_TRUE(warnings().isEmpty());
    EXPECT_EQ(host().countLogsContaining("UR Version. Robot: 127.0.0.9 UR Version: 3.10"), 1);
}

TEST_F(DecoderCaptures, TheDefaultItemsAreThoseExistingDevicesHave) {
    // Key, name and unit of each of the 39, in registration order, as every installed host
    // has them; the extra keys are none of them.
    const QString defaults =
        "emergency_stopped|Emergency stopped|,protective_stopped|Protective stopped|,"
        "program_running|Program running|,program_paused|Program paused|,"
        "base_temperature|Base motor temperature|C\u00b0,base_current|Base motor current|A,"
        "shoulder_temperature|Shoulder motor temperature|C\u00b0,"
        "shoulder_current|Shoulder motor current|A,"
        "elbow_temperature|Elbow motor temperature|C\u00b0,elbow_current|Elbow motor current|A,"
        "wrist1_temperature|Wrist 1 motor temperature|C\u00b0,"
        "wrist1_current|Wrist 1 motor current|A,"
        "wrist2_temperature|Wrist 2 motor temperature|C\u00b0,"
        "wrist2_current|Wrist 2 motor current|A,"
        "wrist3_temperature|Wrist 3 motor temperature|C\u00b0,"
        "wrist3_current|Wrist 3 motor current|A,tool_analog_input_2|Tool analog input 2|,"
        "tool_analog_input_3|Tool analog input 3|,tool_output_voltage|Tool output voltage|V,"
        "tool_current|Tool current|A,tool_temperature|Tool temperature|C\u00b0,"
        "master_digital_input_bits|Digital input bits|,"
        "master_digital_output_bits|Digital output bits|,analog_input_0|Analog input 0|,"
        "analog_input_1|Analog input 1|,analog_output_0|Analog output 0|,"
        "analog_output_1|Analog output_1|,master_temperature|Controller temperature|C\u00b0,"
        "master_voltage_48v|Main voltage|V,master_robot_current|Robot current|A,"
        "master_io_current|IO current|A,master_safety_mode|Safety mode status|,"
        "master_reduced_mode|Reduced mode|,force_x|Force X|,force_y|Force Y|,force_z|Force Z|,"
        "force_rx|Force Rx|,force_ry|Force Ry|,force_rz|Force Rz|";
    QStringList items;
    for (const RobotValueItem &item : robotValueItems())
        items << item.key + "|" + item.name + "|" + item.unit;
    EXPECT_EQ(items, defaults.split(','));
    for (const RobotValueItem &extra : extraRobotValueItems())
        EXPECT_EQ(robotValueItemIndex(extra.key + "_2", "_2"), -1) << extra.key.toStdString();
}

TEST_F(DecoderCaptures, BackToBackInEveryReadSize) {
    // Back to back, the E-series captures decode like the last of each kind.
    urinstance expected = decode(hardware);
    expected.projectName = "URControl";
    expected.versionMajor = 5;
    expected.versionMinor = 24;
    EXPECT_EQ(difference(decode(first58 + version524 + three510 + hardware), expected), "");

    const QByteArray stream =
        first58 + version524 + three510 + hardware + cb2 + cb2First + greeting310;
    const urinstance whole = decode(stream);
    for (int n = 1; n <= stream.size(); ++n) {
        urinstance pieces = robotAt("127.0.0.9");
        for (int p = 0; p < stream.size(); p += n)
            feed(&pieces, stream.mid(p, n));
        ASSERT_EQ(difference(pieces, whole), "") << "reads of " << n << " bytes";
    }
    EXPECT_TRUE(warnings().isEmpty()); // the older CB2 layout too stays in step
}

TEST_F(DecoderCaptures, EncoderGivesBackTheControllerBytes) {
    EXPECT_EQ(urenc::versionMessage("URControl", 5, 24, 0, 0, "04-10-2025, 00:25:33").toHex(),
              version524.toHex());
    // Robot mode, joints, tool and force of each E-series state, decoded and encoded again.
    for (QByteArray real : {first58, three510, hardware}) {
        ASSERT_GT(real.size(), 4);
        real.truncate(lengthAt(real, 0));
        const urinstance robot = decode(real);
        for (const QByteArray &ours :
             {urenc::robotModePackage(robot.modeData), urenc::jointPackage(robot.joints),
              urenc::toolPackage(robot.toolData), urenc::forcePackage(robot.forceData)}) {
            int at = 5; // to the controller's sub-package of the same type
            while (at < real.size() && real.at(at + 4) != ours.at(4))
                at += lengthAt(real, at);
            ASSERT_LT(at, real.size()) << "no sub-package of type " << int(ours.at(4));
            EXPECT_EQ(ours.toHex(), real.mid(at, lengthAt(real, at)).toHex());
        }
    }
}

} // namespace

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

TEST_F(DecoderCaptures, ValuesOfTheCaptures) {
    ASSERT_EQ(first58.size() + version524.size() + three510.size() + hardware.size(), 4271);
    ASSERT_EQ(cb2.size() + cb2First.size() + greeting310.size(), 2024);
    urinstance robot = decode(first58 + version524);
    EXPECT_EQ(robot.modeData.targetSpeedFraction, 0.97);
    EXPECT_EQ(robot.modeData.robotMode, 7);
    const float temperatures[6] = {25.5f, 25.0f, 24.5f, 24.0f, 23.5f, 23.5f};
    for (int j = 0; j < 6; ++j)
        EXPECT_EQ(robot.joints.value(j).motorTemperature, temperatures[j]) << "joint " << j;
    EXPECT_NEAR(robot.joints.value(1).actualCurrent, 2.141, 0.001);
    EXPECT_EQ(robot.masterboardData.masterBoardTemperature, 24.0f);
    EXPECT_EQ(robot.masterboardData.robotVoltage48V, 48.0f);
    EXPECT_EQ(robot.masterboardData.safetyMode, 1);
    EXPECT_EQ(robot.projectName + QString(" %1.%2").arg(robot.versionMajor).arg(robot.versionMinor),
              "URControl 5.24");

    robot = decode(three510.left(716));
    EXPECT_EQ(robot.messageLength, 716);
    EXPECT_EQ(robot.modeData.targetSpeedFraction, 1.0);
    EXPECT_NEAR(robot.joints.value(5).motorTemperature, 25.0f, 5.0f);
    EXPECT_EQ(robot.joints.value(5).jointMode, 253);

    robot = decode(hardware);
    EXPECT_NEAR(robot.joints.value(0).motorTemperature, 32.37, 0.01);
    EXPECT_NEAR(robot.joints.value(5).motorTemperature, 41.33, 0.01);
    float maxCurrent = 0;
    for (const robotstate_joint &joint : robot.joints)
        maxCurrent = std::max(maxCurrent, joint.actualCurrent);
    EXPECT_NEAR(maxCurrent, 6.02, 0.01);
}

TEST_F(DecoderCaptures, ExtraKeysOfTheCaptures) {
    const QMap<QString, QString> first = {
        {"robot_mode", "7"},           {"power_on", "1"},           {"real_robot", "1"},
        {"speed_slider", "0.97"},      {"speed_scaling", "0"},      {"base_position", "-1.6007"},
        {"shoulder_position", "-1.7271"}, {"elbow_position", "-2.203"},
        {"wrist1_position", "-0.808"}, {"wrist2_position", "1.5951"}, {"wrist3_position", "-0.031"}};
    urinstance robot = decode(first58);
    for (auto it = first.cbegin(); it != first.cend(); ++it)
        EXPECT_EQ(itemText(robot, it.key()), it.value()) << it.key().toStdString();
    EXPECT_EQ(itemText(decode(hardware), "speed_slider"), "1");
    EXPECT_EQ(itemText(decode(hardware), "wrist3_position"), "1.29538");
    // Nothing before any robot state.
    EXPECT_EQ(itemText(robotAt("127.0.0.9"), "base_position"), "<none>");
    EXPECT_EQ(itemText(robotAt("127.0.0.9"), "robot_mode"), "<none>");
    robotstate_mode noController;
    noController.robotMode = 255; // a signed byte
    robot = decode(urenc::robotStateMessage({urenc::robotModePackage(noController)}));
    EXPECT_EQ(itemText(robot, "robot_mode"), "-1");
}

// A CB2 read at its own layout, told by the lengths of its sub-packages alone (no version
// message): every value it sends, and none where CB2 has no such field or numbers it otherwise.
TEST_F(DecoderCaptures, CB2AtItsOwnLayout) {
    const QString common =
        "real_robot=1 power_on=1 emergency_stopped=0 protective_stopped=0 program_running=0 "
        "program_paused=0 speed_slider=1 robot_mode=<none> speed_scaling=<none> "
        "master_digital_input_bits=0 master_digital_output_bits=0 analog_output_0=0 "
        "analog_output_1=0 master_safety_mode=<none> master_reduced_mode=<none> "
        "tool_output_voltage=0 tool_current=0.006 force_x=0 force_y=0 force_z=0 force_rx=0 "
        "force_ry=0 force_rz=0 ";
    const std::pair<QByteArray, QString> table[] = {
        {cb2First,
         common +
             "base_position=4.65307 base_current=0.0694961 base_temperature=28 "
             "shoulder_position=-1.56342 shoulder_current=2.02884 shoulder_temperature=28.8 "
             "elbow_position=-1.22394 elbow_current=1.57375 elbow_temperature=28 "
             "wrist1_position=-1.94427 wrist1_current=0.256207 wrist1_temperature=33.2 "
             "wrist2_position=1.62652 wrist2_current=0.256207 wrist2_temperature=35.2 "
             "wrist3_position=-1.58006 wrist3_current=0.147929 wrist3_temperature=36.3 "
             "analog_input_0=0 analog_input_1=0.000610501 master_temperature=30.7 "
             "master_voltage_48v=48.3 master_robot_current=0.773346 master_io_current=0 "
             "tool_analog_input_2=0.0180542 tool_analog_input_3=0.0157196 tool_temperature=51"},
        {cb2,
         common +
             "base_position=-3.85989 base_current=0.452846 base_temperature=24.9 "
             "shoulder_position=-2.26254 shoulder_current=0.244357 shoulder_temperature=24.9 "
             "elbow_position=2.39169 elbow_current=-1.86519 elbow_temperature=22.8 "
             "wrist1_position=-1.99611 wrist1_current=0.0823522 wrist1_temperature=25.2 "
             "wrist2_position=2.87552 wrist2_current=0.0884524 wrist2_temperature=25.9 "
             "wrist3_position=-2.08207 wrist3_current=0.0137254 wrist3_temperature=25 "
             "analog_input_0=0.000763126 analog_input_1=0 master_temperature=23.5 "
             "master_voltage_48v=48.1 master_robot_current=0.703667 master_io_current=0.004 "
             "tool_analog_input_2=0.00902708 tool_analog_input_3=0.00715941 tool_temperature=40"}};
    for (const auto &row : table) {
        // After an e-Series state: the layout is chosen anew for every sub-package.
        urinstance robot = decode(first58);
        feed(&robot, row.first);
        const QStringList values = row.second.split(' ');
        EXPECT_EQ(values.size(), robotValueItems().size() + extraRobotValueItems().size() - 2);
        for (const QString &value : values)
            EXPECT_EQ(itemText(robot, value.section('=', 0, 0)), value.section('=', 1))
                << value.toStdString();
        EXPECT_TRUE(robot.modeData.arrived.has(ModeField::robotModeCb2));
    }

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

    const QByteArray stream = first58 + version524 + three510 + hardware + cb2 + cb2First +
                              greeting310;
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

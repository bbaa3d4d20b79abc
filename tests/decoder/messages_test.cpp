// The stream cut into messages (every kind in one read or cut anywhere, faulty lengths and
// resuming after them), and robot state sub-packages of odd lengths.
#include "decoder_support.h"

#include <vector>

namespace {

namespace var = urenc::var;

class DecoderFraming : public DecoderTest {};
class DecoderRobotState : public DecoderTest {};

TEST_F(DecoderFraming, EveryKindOfMessageInOneReadOrCutAnywhere) {
    // Look-alikes that must be skipped: not a robot message, not a version, not names.
    QByteArray notRobotMessage = urenc::versionMessage("Fake", 9, 9);
    QByteArray notVersion = notRobotMessage, notNames = urenc::variableArrayMessage(0, {"x"});
    notRobotMessage[4] = 5;
    notVersion[14] = 7;
    notNames[13] = 2;
    // Texts are UTF-8 up to a zero byte. Titles are offered as items once, and not at all
    // if the device has them already.
    const QByteArray stream =
        urenc::versionMessage(QByteArray("Zelle\xC3\xA9\0junk", 12), 5, 11) + sampleState(1) +
        notRobotMessage + notVersion + urenc::titledTextMessage("Status", "Picking") +
        urenc::titledTextMessage("Known", "Idle") +
        urenc::variableArrayMessage(0, {"alpha", "beta"}) + notNames +
        urenc::variablesValueMessage(0, {var::integer(3, 7), var::real(3, 2.5f)}) + sampleState(2) +
        urenc::message(5, QByteArray(33, '\x10')) +
        urenc::variablesValueMessage(0, {var::integer(3, 8), var::real(3, 3.5f)}) +
        urenc::titledTextMessage("Status", QByteArray("Placing\0rest", 12)) +
        urenc::robotStateMessage({urenc::toolPackage(sample(3).toolData)});
    const auto fresh = [] {
        urinstance robot = robotAt("127.0.0.9");
        robot.device.items.append(ItemInstancePlugin{});
        robot.device.items.last().uid = "Known";
        return robot;
    };
    urinstance whole = fresh();
    feed(&whole, stream);
    EXPECT_EQ(host().addedItems().size(), 3);
    urinstance expected = sample(2);
    expected.toolData = sample(3).toolData;
    expected.projectName = QString::fromUtf8("Zelle\xC3\xA9");
    expected.versionMajor = 5;
    expected.versionMinor = 11;
    expected.variableNames = {{0, "alpha"}, {1, "beta"}};
    expected.variableValues = {{"alpha", "8"}, {"beta", "3.5"}, {"Status", "Placing"}};
    expected.variableCounts = {{0, 2}};
    expected.variableCountTotal = 2;
    expected.offeredItems = {"Status", "alpha", "beta"};
    EXPECT_EQ(difference(whole, expected), "");

    for (int cut = 0; cut <= stream.size(); ++cut) {
        urinstance split = fresh();
        feed(&split, stream.left(cut));
        feed(&split, stream.mid(cut));
        ASSERT_EQ(difference(split, whole), "") << "cut at " << cut;
    }
    EXPECT_TRUE(warnings().isEmpty());
}

TEST_F(DecoderFraming, FaultyLengthDropsTheReadAndTheNextReadStartsAfresh) {
    const QString tooLong = "Max msg size. Robot: \"127.0.0.9\"";
    const QString below = "Faulty message read! Length: %1";
    const std::pair<uint32_t, QString> cases[] = {
        {0, "Faulty message read! Length: 0????"},  {1, below.arg(1)},     {4, below.arg(4)},
        {URWrapper::maxMessageLength + 1, tooLong}, {0x7FFFFFFF, tooLong}, {0xFFFFFFFF, tooLong}};
    for (const auto &c : cases) {
        const QByteArray faulty = withLength(urenc::message(16, QByteArray(20, '\0')), c.first) +
                                  urenc::versionMessage("Lost", 5, 1);
        // The faulty header whole in one read, or cut so that the decoder keeps its start.
        for (int cut : {int(faulty.size()), 2}) {
            SCOPED_TRACE(testing::Message() << c.first << " cut at " << cut);
            warnings().clear();
            urinstance robot = robotAt("127.0.0.9");
            feed(&robot, sampleState(1) + faulty.left(cut));
            feed(&robot, faulty.mid(cut));
            EXPECT_EQ(warnings(), QStringList{c.second});
            EXPECT_EQ(robot.versionMajor, 0);
            EXPECT_TRUE(robot.pendingBytes.isEmpty());
            feed(&robot, sampleState(2));
            EXPECT_EQ(difference(robot, sample(2)), "");
        }
    }
    // The largest length is taken, here across reads.
    warnings().clear();
    const QByteArray largest = urenc::message(77, QByteArray(URWrapper::maxMessageLength - 5, 0));
    urinstance robot = robotAt("127.0.0.9");
    feed(&robot, largest.left(70000));
    feed(&robot, largest.mid(70000) + sampleState(2));
    EXPECT_TRUE(warnings().isEmpty());
    EXPECT_EQ(difference(robot, sample(2)), "");
}

TEST_F(DecoderFraming, TitlesBecomeItemsUpToALimit) {
    // A program that puts a part number into the title of its messages.
    QByteArray stream;
    for (int part = 0; part < URWrapper::maxTitles + 44; ++part)
        stream += urenc::titledTextMessage("Part " + QByteArray::number(part), "done");
    stream += urenc::titledTextMessage("Part 7", "again");
    const urinstance robot = decode(stream + stream);
    EXPECT_EQ(host().addedItems().size(), URWrapper::maxTitles);
    EXPECT_EQ(robot.variableValues.size(), URWrapper::maxTitles);
    EXPECT_EQ(robot.variableValues.value("Part 7"), "again"); // known titles keep updating
    EXPECT_FALSE(robot.variableValues.contains(QString("Part %1").arg(URWrapper::maxTitles)));
    EXPECT_EQ(host().countLogsContaining("message titles"), 1);
}

TEST_F(DecoderRobotState, SubPackagesLandInTheirBlocks) {
    urinstance robot = decode(sampleState(1));
    EXPECT_EQ(difference(robot, sample(1)), "");
    // A message without a sub-package leaves its block alone, and a published copy of the
    // record keeps the joints it had.
    const urinstance published = robot;
    feed(&robot, urenc::robotStateMessage({urenc::jointPackage(sample(2).joints),
                                           urenc::toolPackage(sample(2).toolData)}));
    urinstance expected = sample(1);
    expected.joints = sample(2).joints;
    expected.toolData = sample(2).toolData;
    EXPECT_EQ(difference(robot, expected), "");
    EXPECT_EQ(difference(published, sample(1)), "");
}

TEST_F(DecoderRobotState, OddSubPackageLengths) {
    const urinstance s = sample(1);
    urinstance modeOnly, modeAndForceXY;
    modeOnly.modeData = modeAndForceXY.modeData = s.modeData;
    modeAndForceXY.forceData.x = s.forceData.x;
    modeAndForceXY.forceData.y = s.forceData.y;
    modeAndForceXY.forceData.arrived.bits = 3;
    const QByteArray mode = urenc::robotModePackage(s.modeData);
    const QByteArray tool = urenc::toolPackage(s.toolData);
    const QByteArray force21 = urenc::forcePackage(s.forceData).left(21); // up to x and y
    std::vector<std::pair<QList<QByteArray>, urinstance>> cases = {
        {{mode, urenc::otherPackage(255, 10), tool}, modeOnly}, // type 255 ends the message
        // A sub-package running past the message is decoded from what is there.
        {{mode, force21}, modeAndForceXY}};
    // A length that cannot hold the header would not move on: it ends the message.
    for (uint32_t bad : {0u, 1u, 4u, 0x80000000u, 0xFFFFFFFBu, 0xFFFFFFFFu})
        cases.push_back({{mode, withLength(urenc::otherPackage(4, 20), bad), tool}, modeOnly});
    for (size_t i = 0; i < cases.size(); ++i) {
        const urinstance robot = decode(urenc::robotStateMessage(cases[i].first));
        EXPECT_EQ(difference(robot, cases[i].second), "") << "case " << i;
    }
}

TEST_F(DecoderRobotState, CutShortSubPackagesGiveValuesWithinTheirBytesOnly) {
    // Each sub-package with the offsets at which its items' fields end, by the byte tables.
    QStringList jointEnds;
    for (const char *joint : {"base", "shoulder", "elbow", "wrist1", "wrist2", "wrist3"}) {
        const int at = 5 + 41 * jointEnds.size(); // where the joint's 41 bytes begin
        jointEnds << QString::asprintf("%s_position:%d %s_current:%d %s_temperature:%d", joint,
                                       at + 8, joint, at + 28, joint, at + 36);
    }
    const urinstance s = sample(2), whole = decode(sampleState(2));
    const std::pair<QByteArray, QString> groups[] = {
        {urenc::robotModePackage(s.modeData),
         "real_robot:14 power_on:16 emergency_stopped:17 protective_stopped:18 "
         "program_running:19 program_paused:20 robot_mode:21 speed_slider:30 speed_scaling:38"},
        {urenc::jointPackage(s.joints), jointEnds.join(' ')},
        {urenc::toolPackage(s.toolData), "tool_analog_input_2:15 tool_analog_input_3:23 "
                                         "tool_output_voltage:28 tool_current:32 "
                                         "tool_temperature:36"},
        {urenc::masterboardPackage(s.masterboardData),
         "master_digital_input_bits:9 master_digital_output_bits:13 analog_input_0:23 "
         "analog_input_1:31 analog_output_0:41 analog_output_1:49 master_temperature:53 "
         "master_voltage_48v:57 master_robot_current:61 master_io_current:65 "
         "master_safety_mode:66 master_reduced_mode:67"},
        {urenc::forcePackage(s.forceData),
         "force_x:13 force_y:21 force_z:29 force_rx:37 force_ry:45 force_rz:53"}};
    for (const auto &group : groups) {
        // Every length short of the whole, but those of a CB2 robot mode and master board.
        for (int cut = 5; cut < group.first.size(); ++cut) {
            if (cut == (group.first.at(4) == 0 ? 29 : group.first.at(4) == 3 ? 64 : 0))
                continue;
            // After a whole sub-package of other values (none of them stays), and followed by
            // bytes that are not read as its own.
            urinstance robot = decode(sampleState(1));
            feed(&robot, urenc::robotStateMessage({withLength(group.first.left(cut), uint32_t(cut)),
                                                   urenc::otherPackage(9, 60, '\x3F')}));
            for (const QString &field : group.second.split(' ')) {
                const QString key = field.section(':', 0, 0);
                EXPECT_EQ(itemText(robot, key),
                          field.section(':', 1).toInt() <= cut ? itemText(whole, key) : "<none>")
                    << key.toStdString() << " cut at " << cut;
            }
        }
    }
}

TEST_F(DecoderRobotState, AlarmsFromErrorCodeAndSafetyModeMessages) {
    urinstance robot = decode(urenc::titledTextMessage("Cycle", "done"));
    EXPECT_EQ(itemText(robot, "last_alarm"), "<none>"); // none before the first
    EXPECT_EQ(itemText(robot, "alarm_count"), "0");
    // Code at 15, argument at 19, whatever follows; other sub-types and a message too short
    // for both fields are no alarms.
    QByteArray otherSubType = urenc::alarmMessage(6, 99, 99), tooShort = urenc::alarmMessage(6, 7, 0, {});
    otherSubType[14] = 7;
    tooShort = withLength(tooShort.left(22), 22);
    feed(&robot, urenc::alarmMessage(6, 153, 1) + otherSubType + tooShort);
    EXPECT_EQ(itemText(robot, "last_alarm"), "C153A1");
    feed(&robot, urenc::alarmMessage(5, -2, 70000, QByteArray(13, '\x7F')) + tooShort);
    EXPECT_EQ(itemText(robot, "last_alarm"), "C-2A70000");
    EXPECT_EQ(itemText(robot, "alarm_count"), "2");
    EXPECT_EQ(robot.variableValues.size(), 1); // nothing else changed
}

} // namespace

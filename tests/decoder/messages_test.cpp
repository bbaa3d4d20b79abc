// The stream cut into messages (every kind in one read or cut anywhere, faulty lengths and
// resuming after them), and robot state sub-packages of odd lengths.
#include "decoder_support.h"
#include "robotlink.h"

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

// A robot through known phases at chosen monotonic times, states every 500 ms from `from` to
// `to` (some CB2's 29 bytes): every counter to the second and to the count.
TEST_F(DecoderRobotState, UtilisationCountersThroughPhasesGapsAndAReconnection) {
    enum Mode { Idle, Running, Paused, ProtectiveStop, EmergencyStop };
    const auto modeData = [](Mode m, bool cb2) {
        robotstate_mode mode;
        mode.isPowerOnRobot = m != EmergencyStop;
        mode.isEmergencyStopped = m == EmergencyStop;
        mode.isProtectiveStopped = m == ProtectiveStop;
        mode.isProgramRunning = m == Running || m == Paused;
        mode.isProgramPaused = m == Paused || m == ProtectiveStop;
        const QByteArray bytes = urenc::robotModePackage(mode);
        return cb2 ? withLength(bytes.left(29), 29) : bytes;
    };
    urinstance robot = robotAt("127.0.0.9"); // the first state decoded on the monotonic clock
    feed(&robot, urenc::robotStateMessage({modeData(Idle, false)}));
    const int64_t base = robot.utilisation.previous.ms;
    EXPECT_NEAR(double(base), double(monotonicMs()), 60000.0);
    // Mode, from, to (ms after the first state), reconnected first, CB2; connected, powered and
    // running seconds, program starts, protective and emergency stops.
    const std::vector<std::tuple<Mode, int, int, bool, bool, QString>> phases = {
        {Idle, 0, 10000, false, false, "10 10 0 0 0 0"},
        {Running, 10000, 40000, false, false, "40 40 30 1 0 0"},
        {Paused, 40000, 45000, false, false, "45 45 30 1 0 0"},
        {Running, 45000, 60000, false, true, "60 60 45 1 0 0"},
        {ProtectiveStop, 60000, 64500, false, false, "64 64 45 1 1 0"},
        {ProtectiveStop, 67000, 70000, false, false, "67 67 45 1 1 0"}, // 2.5 s unseen
        {ProtectiveStop, 70800, 72000, true, true, "68 68 45 1 1 0"},   // the same stop
        {Running, 72000, 80000, false, false, "76 76 53 2 1 0"},
        {EmergencyStop, 80000, 83000, false, false, "79 76 53 2 1 1"}};
    for (const auto &[mode, from, to, reconnect, cb2, counters] : phases) {
        if (reconnect)
            robotlink::attemptStarted(&robot, false);
        for (int ms = from; ms <= to; ms += 500)
            utilisation::count(&robot.utilisation, ByteView(modeData(mode, cb2)), base + ms);
        QStringList texts;
        for (const char *key : {"connected_seconds", "powered_seconds", "program_running_seconds",
                                "program_starts", "protective_stops", "emergency_stops"})
            texts << itemText(robot, key);
        EXPECT_EQ(texts.join(' '), counters) << "after " << to << " ms";
    }
    // Robot mode data too short for the flags says nothing (no 0.5 s); two weeks on, the
    // seconds are still whole.
    utilisation::count(&robot.utilisation, ByteView(modeData(Idle, false).left(19)), base + 83500);
    robot.utilisation.connectedMs += 1234567000;
    EXPECT_EQ(itemText(robot, "connected_seconds"), "1234646");
}

} // namespace

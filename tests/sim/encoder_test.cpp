// Byte layout of the message encoder, checked against the controller's byte tables and
// against real controller captures.
#include "urencoder.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace urenc;

namespace {

robotstate_joint jointWith(float current, float temperature) {
    robotstate_joint j;
    j.actualCurrent = current;
    j.motorTemperature = temperature;
    return j;
}

} // namespace

// --- Sub-package sizes and field offsets -------------------------------------------------

TEST(EncoderLayout, SubPackagesHaveTheirControllerSizesAndCountThemselves) {
    const struct {
        QByteArray bytes;
        uint8_t type;
        int size;
    } cases[] = {
        {robotModePackage({}), 0, 47},   {jointPackage({}), 1, 251}, {toolPackage({}), 2, 37},
        {masterboardPackage({}), 3, 75}, {forcePackage({}), 7, 61},  {otherPackage(9, 48), 9, 53},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.bytes.size(), c.size) << int(c.type);
        EXPECT_EQ(wire::u32(c.bytes, 0), uint32_t(c.size)) << int(c.type);
        EXPECT_EQ(wire::u8(c.bytes, 4), c.type);
    }
}

TEST(EncoderLayout, JointsAreFortyOneBytesEachAndMissingJointsAreZero) {
    QList<robotstate_joint> joints;
    for (int j = 0; j < 2; ++j) {
        robotstate_joint x;
        x.actualPosition = 1.0 + j;
        x.targetPosition = 2.0 + j;
        x.actualVelocity = -3.0 - j;
        x.actualCurrent = 0.5f + j;
        x.actualVoltage = 48.0f;
        x.motorTemperature = 30.0f + j;
        x.microTemperature = 40.0f + j;
        x.jointMode = static_cast<uint8_t>(253 - j);
        joints << x;
    }
    const QByteArray b = jointPackage(joints);
    for (int j = 0; j < 2; ++j) {
        const int at = 5 + 41 * j;
        EXPECT_EQ(wire::f64(b, at), 1.0 + j);
        EXPECT_EQ(wire::f64(b, at + 8), 2.0 + j);
        EXPECT_EQ(wire::f64(b, at + 16), -3.0 - j);
        EXPECT_EQ(wire::f32(b, at + 24), 0.5f + j);
        EXPECT_EQ(wire::f32(b, at + 28), 48.0f);
        EXPECT_EQ(wire::f32(b, at + 32), 30.0f + j);
        EXPECT_EQ(wire::f32(b, at + 36), 40.0f + j);
        EXPECT_EQ(wire::u8(b, at + 40), 253 - j);
    }
    EXPECT_EQ(b.mid(5 + 41 * 2), QByteArray(41 * 4, '\0'));
}

TEST(EncoderLayout, MasterboardFieldsSitAtTheirOffsetsAndSkippedBytesAreZero) {
    robotstate_masterboard m;
    m.digitalInputBits = 0x80000001u;
    m.digitalOutputBits = 0x01020304u;
    m.analogInput0 = 1.5;
    m.analogInput1 = 2.5;
    m.analogOutput0 = 3.5;
    m.analogOutput1 = 4.5;
    m.masterBoardTemperature = 35.25f;
    m.robotVoltage48V = 48.5f;
    m.robotCurrent = 1.25f;
    m.masterIOCurrent = 0.0625f;
    m.safetyMode = 7;
    m.inReducedMode = 1;
    const QByteArray b = masterboardPackage(m);
    EXPECT_EQ(b.mid(5, 8), QByteArray::fromHex("8000000101020304"));
    EXPECT_EQ(wire::f64(b, 15), 1.5);
    EXPECT_EQ(wire::f64(b, 23), 2.5);
    EXPECT_EQ(wire::f64(b, 33), 3.5);
    EXPECT_EQ(wire::f64(b, 41), 4.5);
    EXPECT_EQ(wire::f32(b, 49), 35.25f);
    EXPECT_EQ(wire::f32(b, 53), 48.5f);
    EXPECT_EQ(wire::f32(b, 57), 1.25f);
    EXPECT_EQ(wire::f32(b, 61), 0.0625f);
    EXPECT_EQ(wire::u8(b, 65), 7);
    EXPECT_EQ(wire::u8(b, 66), 1);
    for (int at : {13, 14, 31, 32})
        EXPECT_EQ(wire::u8(b, at), 0) << "offset " << at;
    EXPECT_EQ(b.mid(67), QByteArray(8, '\0'));
}

TEST(EncoderLayout, FullRobotStateChainsSubPackagesWithoutGaps) {
    const QByteArray msg = fullRobotState({}, {}, {}, {}, {});
    EXPECT_EQ(wire::u32(msg, 0), uint32_t(msg.size()));
    EXPECT_EQ(wire::u8(msg, 4), 16);
    QList<int> types;
    int total = 5;
    for (const QByteArray &p : wire::subPackages(msg)) {
        types << wire::u8(p, 4);
        total += p.size();
    }
    EXPECT_EQ(types, (QList<int>{0, 1, 4, 3, 2, 7, 8}));
    EXPECT_EQ(total, msg.size());
}

// --- Robot and global messages ------------------------------------------------------------

TEST(EncoderMessages, TitledTextPutsTitleLengthAtTwentyThree) {
    const QByteArray b = titledTextMessage("Alarm", "Door open");
    EXPECT_EQ(wire::u32(b, 0), uint32_t(b.size()));
    EXPECT_EQ(wire::u8(b, 4), 20);
    EXPECT_EQ(wire::u8(b, 14), 8);
    EXPECT_EQ(wire::u8(b, 23), 5);
    EXPECT_EQ(b.mid(24, 5), QByteArray("Alarm"));
    EXPECT_EQ(b.mid(29), QByteArray("Door open"));
}

TEST(EncoderMessages, VersionWithEmptyNamePutsMajorAtSixteen) {
    const QByteArray b = versionMessage("", 3, 2, 0, 0, "");
    EXPECT_EQ(wire::u8(b, 15), 0);
    EXPECT_EQ(wire::u8(b, 16), 3);
    EXPECT_EQ(wire::u8(b, 17), 2);
    EXPECT_EQ(b.size(), 26);
}

TEST(EncoderMessages, VariableArrayJoinsNamesWithLineFeeds) {
    const QByteArray b = variableArrayMessage(2, {"a", "bc"});
    EXPECT_EQ(wire::u32(b, 0), uint32_t(b.size()));
    EXPECT_EQ(wire::u8(b, 4), 25);
    EXPECT_EQ(wire::u8(b, 13), 0);
    EXPECT_EQ(wire::u16(b, 14), 2);
    EXPECT_EQ(b.mid(16), QByteArray("a\nbc\n"));
    EXPECT_EQ(variableArrayMessage(0, {"a", "b"}, false).mid(16), QByteArray("a\nb"));
}

TEST(EncoderMessages, VariablesValueCarriesStartIndexThenValues) {
    const QByteArray b = variablesValueMessage(0x0102, {var::integer(3, 42), var::none(3)});
    EXPECT_EQ(wire::u8(b, 13), 1);
    EXPECT_EQ(wire::u16(b, 14), 0x0102);
    EXPECT_EQ(b.mid(16), QByteArray::fromHex("0f0000002a00"
                                             "0000"));
}

// --- Program variable values --------------------------------------------------------------

TEST(EncoderVariables, ValuesOfLayoutThreeMatchTheControllerBytes) {
    EXPECT_EQ(var::integer(3, 42), QByteArray::fromHex("0f0000002a00"));
    EXPECT_EQ(var::integer(3, -2), QByteArray::fromHex("0ffffffffe00"));
    EXPECT_EQ(var::string(3, "hi"), QByteArray::fromHex("030002686900"));
    EXPECT_EQ(var::list(3, {var::integer(3, 1), var::integer(3, 2)}),
              QByteArray::fromHex("1100020f000000010f0000000200"));
    EXPECT_EQ(var::real(3, 1.5f), QByteArray::fromHex("103fc0000000"));
    EXPECT_EQ(var::byte(3, 200), QByteArray::fromHex("0dc800"));
    EXPECT_EQ(var::pose(3, {1.5f, 0, 0, 0, 0, -2.0f}),
              QByteArray::fromHex("0c3fc00000"
                                  "00000000000000000000000000000000"
                                  "c000000000"));
}

TEST(EncoderVariables, TypeCodesFollowTheLayout) {
    struct Codes {
        int layout, string, list, pose, byte, integer, real;
    };
    for (const Codes c : {Codes{1, 3, 4, 9, 11, 13, 14}, Codes{2, 3, 5, 10, 12, 14, 15},
                          Codes{3, 3, 17, 12, 13, 15, 16}}) {
        EXPECT_EQ(wire::u8(var::none(c.layout), 0), 0);
        EXPECT_EQ(wire::u8(var::string(c.layout, "x"), 0), c.string);
        EXPECT_EQ(wire::u8(var::list(c.layout, {}), 0), c.list);
        EXPECT_EQ(wire::u8(var::pose(c.layout, {}), 0), c.pose);
        EXPECT_EQ(wire::u8(var::byte(c.layout, 1), 0), c.byte);
        EXPECT_EQ(wire::u8(var::integer(c.layout, 1), 0), c.integer);
        EXPECT_EQ(wire::u8(var::real(c.layout, 1), 0), c.real);
    }
}

TEST(EncoderVariables, TopLevelValuesTakeTwoBytesPlusPayloadAndElementsOneLess) {
    EXPECT_EQ(var::none(2).size(), 2);
    EXPECT_EQ(var::pose(2, {}).size(), 26);
    EXPECT_EQ(var::element(var::pose(2, {})).size(), 25);
    EXPECT_EQ(var::raw(0x99, "abc"), QByteArray::fromHex("9961626300"));
    // Nested lists hold their elements without trailing bytes at every level.
    const QByteArray inner = var::list(2, {var::byte(2, 7)});
    EXPECT_EQ(var::list(2, {inner}), QByteArray::fromHex("050001"
                                                         "050001"
                                                         "0c07"
                                                         "00"));
}

// --- Real controller captures ---------------------------------------------------------------

TEST(EncoderCapture, VersionMessageMatchesAControllerByteForByte) {
    const QByteArray real = wire::capture("eseries-5.24-version-message.bin");
    ASSERT_EQ(real.size(), 55);
    EXPECT_EQ(versionMessage("URControl", 5, 24, 0, 0, "04-10-2025, 00:25:33"), real);
}

TEST(EncoderCapture, RobotStateSubPackagesFollowTheControllerSequence) {
    const QByteArray real = wire::capture("eseries-5.10-three-robot-states.bin");
    ASSERT_EQ(real.size(), 2148);
    QList<QPair<int, int>> realHeads;
    for (const QByteArray &p : wire::subPackages(real.left(716)))
        if (wire::u8(p, 4) <= 8) // later types are newer additions that we do not send
            realHeads << qMakePair(int(wire::u8(p, 4)), p.size());
    // The 5.10 controller also sends type 9 between 4 and 3; leave it out for comparison.
    realHeads.removeAll(qMakePair(9, 53));
    QList<QPair<int, int>> ours;
    for (const QByteArray &p : wire::subPackages(fullRobotState({}, {}, {}, {}, {})))
        ours << qMakePair(int(wire::u8(p, 4)), p.size());
    EXPECT_EQ(ours, realHeads);
}

TEST(EncoderCapture, RobotModeMatchesAControllerByteForByte) {
    const QByteArray real =
        wire::subPackage(wire::capture("eseries-5.10-three-robot-states.bin"), 0);
    ASSERT_EQ(real.size(), 47);
    robotstate_mode m;
    std::memcpy(&m.timestamp, real.constData() + 5, 8);
    m.isRealRobotConnected = 1;
    m.isRealRobotEnabled = 1;
    m.isPowerOnRobot = 1;
    m.robotMode = 7;
    m.controlMode = 0;
    m.targetSpeedFraction = 1.0;
    m.speedScaling = 0.0;
    m.targetSpeedFractionLimit = 1.0;
    EXPECT_EQ(robotModePackage(m).toHex(), real.toHex());
}

TEST(EncoderCapture, JointTemperaturesLandWhereTheControllerPutsThem) {
    // Values read from the 5.8 capture's description: motor temperatures per joint.
    const QByteArray real = wire::subPackage(wire::capture("eseries-5.8-first-robot-state.bin"), 1);
    ASSERT_EQ(real.size(), 251);
    const float temps[] = {25.5f, 25.0f, 24.5f, 24.0f, 23.5f, 23.5f};
    QList<robotstate_joint> joints;
    for (float t : temps)
        joints << jointWith(0, t);
    const QByteArray ours = jointPackage(joints);
    for (int j = 0; j < 6; ++j) {
        const int at = 5 + 41 * j + 32;
        EXPECT_EQ(ours.mid(at, 4).toHex(), real.mid(at, 4).toHex()) << "joint " << j;
    }
    // Shoulder current about 2.141 A sits at joint offset 24.
    EXPECT_NEAR(wire::f32(real, 5 + 41 + 24), 2.141, 0.001);
}

TEST(EncoderCapture, MasterboardMatchesAControllerExceptUnsentFields) {
    const QByteArray real = wire::subPackage(wire::capture("eseries-5.8-first-robot-state.bin"), 3);
    ASSERT_EQ(real.size(), 75);
    robotstate_masterboard m;
    m.analogOutput0 = wire::f64(real, 33);
    m.analogOutput1 = wire::f64(real, 41);
    m.masterBoardTemperature = 24.0f; // controller temperature of the capture
    m.robotVoltage48V = 48.0f;        // main voltage of the capture
    m.safetyMode = 1;
    QByteArray ours = masterboardPackage(m);
    ASSERT_EQ(ours.size(), 75);
    // Analog ranges, output domains and the trailing fields are not part of the record.
    QByteArray expected = real;
    for (int at : {13, 14, 31, 32})
        expected[at] = 0;
    expected.replace(67, 8, QByteArray(8, '\0'));
    EXPECT_EQ(ours.toHex(), expected.toHex());
}

TEST(EncoderCapture, ToolAndForceMatchAControllerByteForByte) {
    const QByteArray state = wire::capture("eseries-5.8-first-robot-state.bin");
    const QByteArray realTool = wire::subPackage(state, 2);
    const QByteArray realForce = wire::subPackage(state, 7);
    robotstate_tool t;
    t.analogInputRange2 = 1;
    t.analogInputRange3 = 1;
    t.toolMode = 253;
    EXPECT_EQ(toolPackage(t).toHex(), realTool.toHex());
    robotstate_force f;
    f.robotDexterity = wire::f64(realForce, 53);
    EXPECT_EQ(forcePackage(f).toHex(), realForce.toHex());
}

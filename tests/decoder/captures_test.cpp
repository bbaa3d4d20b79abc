// Real controller bytes: the decoded values must match what the captures hold, however
// the stream is cut into reads.
#include "decoder_support.h"

namespace {

using namespace dectest;

class DecoderCaptures : public DecoderTest {
protected:
    urinstance decode(const QByteArray &bytes) {
        urinstance robot = robotAt(QStringLiteral("127.0.3.1"));
        feed(&robot, bytes);
        return robot;
    }
};

TEST_F(DecoderCaptures, ESeries58FirstRobotState) {
    const QByteArray bytes = readVector("eseries-5.8-first-robot-state.bin");
    ASSERT_EQ(bytes.size(), 1386);
    const urinstance robot = decode(bytes);
    EXPECT_TRUE(robot.pendingBytes.isEmpty());
    EXPECT_EQ(robot.messageLength, 1386);

    EXPECT_EQ(robot.modeData.targetSpeedFraction, 0.97);
    EXPECT_EQ(robot.modeData.isRealRobotConnected, 1);
    EXPECT_EQ(robot.modeData.isEmergencyStopped, 0);
    EXPECT_EQ(robot.modeData.robotMode, 7);

    ASSERT_EQ(robot.joints.size(), 6);
    const float temperatures[6] = {25.5f, 25.0f, 24.5f, 24.0f, 23.5f, 23.5f};
    for (int j = 0; j < 6; ++j)
        EXPECT_EQ(robot.joints.at(j).motorTemperature, temperatures[j]) << "joint " << j;
    EXPECT_NEAR(robot.joints.at(1).actualCurrent, 2.141, 0.001);
    EXPECT_EQ(robot.joints.at(0).jointMode, 253);

    EXPECT_EQ(robot.masterboardData.masterBoardTemperature, 24.0f);
    EXPECT_EQ(robot.masterboardData.robotVoltage48V, 48.0f);
    EXPECT_EQ(robot.masterboardData.safetyMode, 1);
}

TEST_F(DecoderCaptures, ESeries524VersionMessage) {
    const QByteArray bytes = readVector("eseries-5.24-version-message.bin");
    ASSERT_EQ(bytes.size(), 55);
    const urinstance robot = decode(bytes);
    EXPECT_EQ(robot.projectName, QStringLiteral("URControl"));
    EXPECT_EQ(robot.versionMajor, 5);
    EXPECT_EQ(robot.versionMinor, 24);
    EXPECT_TRUE(logs(QStringLiteral("debug"))
                    .contains(QStringLiteral("UR Version. Robot: 127.0.3.1 UR Version: 5.24")));
}

TEST_F(DecoderCaptures, ESeries510ThreeRobotStates) {
    const QByteArray bytes = readVector("eseries-5.10-three-robot-states.bin");
    ASSERT_EQ(bytes.size(), 3 * 716);
    for (int m = 0; m < 3; ++m) {
        SCOPED_TRACE(m);
        const urinstance robot = decode(bytes.mid(716 * m, 716));
        EXPECT_EQ(robot.messageLength, 716);
        EXPECT_TRUE(robot.pendingBytes.isEmpty());
        ASSERT_EQ(robot.joints.size(), 6);
        for (const robotstate_joint &joint : robot.joints) {
            EXPECT_GT(joint.motorTemperature, 20.0f);
            EXPECT_LT(joint.motorTemperature, 30.0f);
            EXPECT_EQ(joint.jointMode, 253);
        }
        EXPECT_EQ(robot.modeData.targetSpeedFraction, 1.0);
        EXPECT_EQ(robot.masterboardData.robotVoltage48V, 48.0f);
        EXPECT_EQ(robot.masterboardData.safetyMode, 1);
    }
    const urinstance all = decode(bytes);
    EXPECT_TRUE(sameDecoded(all, decode(bytes.mid(2 * 716))));
}

TEST_F(DecoderCaptures, ESeriesHardwareRobotState) {
    const QByteArray bytes = readVector("eseries-5.x-hardware-robot-state.bin");
    ASSERT_EQ(bytes.size(), 682);
    const urinstance robot = decode(bytes);
    EXPECT_EQ(robot.modeData.targetSpeedFraction, 1.0);
    ASSERT_EQ(robot.joints.size(), 6);
    float maxCurrent = 0;
    for (const robotstate_joint &joint : robot.joints) {
        EXPECT_GE(joint.motorTemperature, 32.3f);
        EXPECT_LE(joint.motorTemperature, 41.4f);
        EXPECT_GE(joint.actualVoltage, 47.6f);
        EXPECT_LE(joint.actualVoltage, 48.0f);
        maxCurrent = std::max(maxCurrent, joint.actualCurrent);
    }
    EXPECT_NEAR(robot.joints.first().motorTemperature, 32.37, 0.01);
    EXPECT_NEAR(robot.joints.last().motorTemperature, 41.33, 0.01);
    EXPECT_NEAR(maxCurrent, 6.02, 0.01);
}

TEST_F(DecoderCaptures, Cb2CaptureDecodesWithoutHarm) {
    // An older, shorter layout: values are meaningless, but decoding stays in bounds.
    const QByteArray bytes = readVector("cb2-1.x-robot-state-port30002.bin");
    ASSERT_EQ(bytes.size(), 510);
    const urinstance robot = decode(bytes);
    EXPECT_EQ(robot.joints.size(), 6);
    EXPECT_TRUE(robot.pendingBytes.isEmpty());
    EXPECT_TRUE(warnings.lines().isEmpty());
}

QByteArray allESeriesCaptures() {
    return readVector("eseries-5.8-first-robot-state.bin") +
           readVector("eseries-5.24-version-message.bin") +
           readVector("eseries-5.10-three-robot-states.bin") +
           readVector("eseries-5.x-hardware-robot-state.bin");
}

TEST_F(DecoderCaptures, BackToBackDecodeLikeTheLastOfEachKind) {
    const urinstance all = decode(allESeriesCaptures());
    const urinstance hardware = decode(readVector("eseries-5.x-hardware-robot-state.bin"));
    EXPECT_TRUE(sameMode(all.modeData, hardware.modeData));
    EXPECT_TRUE(sameJoints(all.joints, hardware.joints));
    EXPECT_TRUE(sameTool(all.toolData, hardware.toolData));
    EXPECT_TRUE(sameBoard(all.masterboardData, hardware.masterboardData));
    EXPECT_TRUE(sameForce(all.forceData, hardware.forceData));
    EXPECT_EQ(all.projectName, QStringLiteral("URControl"));
    EXPECT_EQ(all.versionMinor, 24);
    EXPECT_TRUE(all.pendingBytes.isEmpty());
}

TEST_F(DecoderCaptures, EveryReadSizeGivesTheOnePieceResult) {
    const QByteArray stream =
        allESeriesCaptures() + readVector("cb2-1.x-robot-state-port30002.bin");
    const urinstance whole = decode(stream);
    for (int n = 1; n <= stream.size(); ++n) {
        urinstance pieces = robotAt(QStringLiteral("127.0.3.1"));
        for (int p = 0; p < stream.size(); p += n)
            feed(&pieces, stream.mid(p, n));
        ASSERT_TRUE(sameDecoded(pieces, whole)) << "reads of " << n << " bytes";
    }
    EXPECT_TRUE(warnings.lines().isEmpty());
}

} // namespace

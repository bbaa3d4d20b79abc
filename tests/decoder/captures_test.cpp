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

int lengthAt(const QByteArray &bytes, int at) {
    return int(qFromBigEndian<quint32>(bytes.constData() + at));
}

TEST_F(DecoderCaptures, ValuesOfTheCaptures) {
    ASSERT_EQ(first58.size() + version524.size() + three510.size() + hardware.size(), 4271);
    ASSERT_EQ(cb2.size(), 510);
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

TEST_F(DecoderCaptures, BackToBackInEveryReadSize) {
    // Back to back, the E-series captures decode like the last of each kind.
    urinstance expected = decode(hardware);
    expected.projectName = "URControl";
    expected.versionMajor = 5;
    expected.versionMinor = 24;
    EXPECT_EQ(difference(decode(first58 + version524 + three510 + hardware), expected), "");

    const QByteArray stream = first58 + version524 + three510 + hardware + cb2;
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

// Robot state messages: which sub-packages land where, and how odd sub-package lengths
// end a message.
#include "decoder_support.h"

#include <cstring>

namespace {

using namespace dectest;

class DecoderRobotState : public DecoderTest {
protected:
    urinstance decode(const QByteArray &message) {
        urinstance robot = robotAt(QStringLiteral("127.0.1.1"));
        feed(&robot, message);
        return robot;
    }
};

// Overwrites the 4-byte big-endian length field at the start of a package or message.
QByteArray withLength(QByteArray bytes, uint32_t length) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(length >> (24 - 8 * i));
    return bytes;
}

TEST_F(DecoderRobotState, AllFiveSubPackagesLandInTheRecord) {
    const urinstance robot = decode(sampleState(1));
    EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(1)));
    EXPECT_TRUE(sameTool(robot.toolData, sampleTool(1)));
    EXPECT_TRUE(sameBoard(robot.masterboardData, sampleBoard(1)));
    EXPECT_TRUE(sameForce(robot.forceData, sampleForce(1)));
    EXPECT_TRUE(robot.pendingBytes.isEmpty());
}

TEST_F(DecoderRobotState, RobotModeDoublesFollowTheControlModeByte) {
    robotstate_mode mode = sampleMode();
    mode.controlMode = 0xAB;
    mode.targetSpeedFraction = 0.97;
    const urinstance robot = decode(urenc::robotStateMessage({urenc::robotModePackage(mode)}));
    EXPECT_EQ(robot.modeData.controlMode, 0xAB);
    EXPECT_EQ(robot.modeData.targetSpeedFraction, 0.97);
    EXPECT_EQ(robot.modeData.speedScaling, mode.speedScaling);
    EXPECT_EQ(robot.modeData.targetSpeedFractionLimit, mode.targetSpeedFractionLimit);
}

TEST_F(DecoderRobotState, SkippedTypesChangeNothing) {
    const QByteArray message = urenc::robotStateMessage(
        {urenc::robotModePackage(sampleMode(2)), urenc::jointPackage(sampleJoints(2)),
         urenc::toolPackage(sampleTool(2)), urenc::masterboardPackage(sampleBoard(2)),
         urenc::otherPackage(4, 96, '\x55'), urenc::otherPackage(5, 220, '\x66'),
         urenc::forcePackage(sampleForce(2)), urenc::otherPackage(6, 30, '\x77')});
    const urinstance robot = decode(message);
    EXPECT_TRUE(sameMode(robot.modeData, sampleMode(2)));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(2)));
    EXPECT_TRUE(sameTool(robot.toolData, sampleTool(2)));
    EXPECT_TRUE(sameBoard(robot.masterboardData, sampleBoard(2)));
    EXPECT_TRUE(sameForce(robot.forceData, sampleForce(2)));
}

TEST_F(DecoderRobotState, MessageWithoutASubPackageLeavesItsBlockAlone) {
    urinstance robot = decode(sampleState(1));
    feed(&robot, urenc::robotStateMessage({urenc::toolPackage(sampleTool(5))}));
    EXPECT_TRUE(sameTool(robot.toolData, sampleTool(5)));
    EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(1)));
    EXPECT_TRUE(sameBoard(robot.masterboardData, sampleBoard(1)));
}

TEST_F(DecoderRobotState, Type255EndsTheMessage) {
    const QByteArray message =
        urenc::robotStateMessage({urenc::robotModePackage(sampleMode(1)),
                                  urenc::otherPackage(255, 10), urenc::toolPackage(sampleTool(1))});
    const urinstance robot = decode(message);
    EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
    EXPECT_TRUE(sameTool(robot.toolData, robotstate_tool{}));
}

TEST_F(DecoderRobotState, SubPackageLengthZeroOrMinusOneEndsTheMessage) {
    for (uint32_t bad : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bad);
        const QByteArray message = urenc::robotStateMessage(
            {urenc::robotModePackage(sampleMode(1)), withLength(urenc::otherPackage(4, 20), bad),
             urenc::toolPackage(sampleTool(1))});
        const urinstance robot = decode(message);
        EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
        EXPECT_TRUE(sameTool(robot.toolData, robotstate_tool{}));
    }
}

TEST_F(DecoderRobotState, LengthsThatCannotHoldAHeaderEndTheMessage) {
    // Below 5 the cursor would not get past the header (or would move back): stop there.
    for (uint32_t bad : {1u, 3u, 4u, 0x80000000u, 0xFFFFFFFBu}) {
        SCOPED_TRACE(bad);
        const QByteArray message = urenc::robotStateMessage(
            {urenc::robotModePackage(sampleMode(1)), withLength(urenc::forcePackage({}), bad),
             urenc::toolPackage(sampleTool(1))});
        const urinstance robot = decode(message);
        EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
        EXPECT_TRUE(sameTool(robot.toolData, robotstate_tool{}));
    }
}

TEST_F(DecoderRobotState, SubPackageRunningPastTheMessageIsDecodedFromWhatIsThere) {
    // The tool package claims 200 bytes but the message ends after its own 37.
    const QByteArray message =
        urenc::robotStateMessage({urenc::robotModePackage(sampleMode(1)),
                                  withLength(urenc::toolPackage(sampleTool(1)), 200)});
    const urinstance robot = decode(message);
    EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
    EXPECT_TRUE(sameTool(robot.toolData, sampleTool(1)));
}

TEST_F(DecoderRobotState, FieldsPastTheSubPackageLengthReadAsZero) {
    // A force package of 21 bytes (x and y) followed by another package: z and the rest
    // read as 0, not from the bytes of the package after it.
    const QByteArray message =
        urenc::robotStateMessage({withLength(urenc::forcePackage(sampleForce(1)).left(21), 21),
                                  urenc::otherPackage(9, 40, '\x3F')});
    const urinstance robot = decode(message);
    EXPECT_EQ(robot.forceData.x, sampleForce(1).x);
    EXPECT_EQ(robot.forceData.y, sampleForce(1).y);
    EXPECT_EQ(robot.forceData.z, 0.0);
    EXPECT_EQ(robot.forceData.robotDexterity, 0.0);
}

TEST_F(DecoderRobotState, MessageLengthEndingInsideTheLastSubPackage) {
    const QByteArray full = urenc::robotStateMessage(
        {urenc::robotModePackage(sampleMode(1)), urenc::forcePackage(sampleForce(1))});
    // Cut after x and y of the force package (47 mode bytes, then 5 + 16).
    const int cut = 5 + 47 + 21;
    urinstance robot = robotAt(QStringLiteral("127.0.1.2"));
    robot.messageLength = cut;
    unsigned int cursor = 5;
    URWrapper().processRobotStateMessages(withLength(full.left(cut), cut), &robot, &cursor);
    EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
    EXPECT_EQ(robot.forceData.x, sampleForce(1).x);
    EXPECT_EQ(robot.forceData.y, sampleForce(1).y);
    EXPECT_EQ(robot.forceData.z, 0.0);
}

TEST_F(DecoderRobotState, ShortJointPackageStillGivesSixJoints) {
    const QByteArray joints = urenc::jointPackage(sampleJoints(1));
    const QByteArray shortPackage = withLength(joints.left(87), 87);
    const urinstance robot = decode(urenc::robotStateMessage({shortPackage}));
    ASSERT_EQ(robot.joints.size(), 6);
    QList<robotstate_joint> expected = sampleJoints(1);
    for (int j = 2; j < 6; ++j)
        expected[j] = robotstate_joint{};
    EXPECT_TRUE(sameJoints(robot.joints, expected));
}

TEST_F(DecoderRobotState, SecondJointPackageReplacesTheFirst) {
    const QByteArray message = urenc::robotStateMessage(
        {urenc::jointPackage(sampleJoints(1)), urenc::jointPackage(sampleJoints(2))});
    const urinstance robot = decode(message);
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(2)));
}

TEST_F(DecoderRobotState, JointsOfAPublishedCopyStayAsTheyWere) {
    urinstance robot = decode(sampleState(1));
    const urinstance published = robot; // shares the joint list until one side changes
    feed(&robot, sampleState(2));
    EXPECT_TRUE(sameJoints(published.joints, sampleJoints(1)));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(2)));
}

TEST_F(DecoderRobotState, FlagBytesAreKeptAsReceived) {
    robotstate_mode mode{};
    mode.isEmergencyStopped = 1;
    mode.isProgramRunning = 2;
    mode.isProgramPaused = 0xFF;
    const urinstance robot = decode(urenc::robotStateMessage({urenc::robotModePackage(mode)}));
    EXPECT_EQ(robot.modeData.isEmergencyStopped, 1);
    EXPECT_EQ(robot.modeData.isProgramRunning, 2);
    EXPECT_EQ(robot.modeData.isProgramPaused, 0xFF);
    EXPECT_EQ(robot.modeData.isProtectiveStopped, 0);
}

TEST_F(DecoderRobotState, TimestampBytesStayInWireOrder) {
    robotstate_mode mode{};
    const unsigned char wire[8] = {0, 0, 0, 0, 0, 0, 1, 0};
    std::memcpy(&mode.timestamp, wire, sizeof wire);
    const QByteArray package = urenc::robotModePackage(mode);
    ASSERT_EQ(package.mid(5, 8), QByteArray(reinterpret_cast<const char *>(wire), 8));

    const urinstance robot = decode(urenc::robotStateMessage({package}));
    unsigned char stored[8];
    std::memcpy(stored, &robot.modeData.timestamp, sizeof stored);
    EXPECT_EQ(0, std::memcmp(stored, wire, sizeof wire));
}

TEST_F(DecoderRobotState, ToolRangeBytesAreSigned) {
    robotstate_tool tool{};
    tool.analogInputRange2 = -1;
    tool.analogInputRange3 = 1;
    const QByteArray package = urenc::toolPackage(tool);
    ASSERT_EQ(static_cast<unsigned char>(package.at(5)), 0xFF);
    const urinstance robot = decode(urenc::robotStateMessage({package}));
    EXPECT_EQ(robot.toolData.analogInputRange2, -1);
    EXPECT_EQ(robot.toolData.analogInputRange3, 1);
}

TEST_F(DecoderRobotState, MasterBoardBitFieldsAreUnsigned) {
    robotstate_masterboard board{};
    board.digitalInputBits = 0x80000001u;
    board.digitalOutputBits = 0xFFFFFFFEu;
    const QByteArray package = urenc::masterboardPackage(board);
    ASSERT_EQ(package.mid(5, 4), QByteArray("\x80\x00\x00\x01", 4));
    const urinstance robot = decode(urenc::robotStateMessage({package}));
    EXPECT_EQ(robot.masterboardData.digitalInputBits, 2147483649u);
    EXPECT_EQ(robot.masterboardData.digitalOutputBits, 0xFFFFFFFEu);
}

TEST_F(DecoderRobotState, DirectCallStopsAtTheRecordedMessageLength) {
    // messageLength (the length field) bounds the walk, not the bytes handed over.
    const QByteArray message = urenc::robotStateMessage(
        {urenc::robotModePackage(sampleMode(1)), urenc::toolPackage(sampleTool(1))});
    urinstance robot = robotAt(QStringLiteral("127.0.1.3"));
    robot.messageLength = 5 + 47;
    unsigned int cursor = 5;
    URWrapper().processRobotStateMessages(message, &robot, &cursor);
    EXPECT_TRUE(sameMode(robot.modeData, sampleMode(1)));
    EXPECT_TRUE(sameTool(robot.toolData, robotstate_tool{}));
}

} // namespace

// Cutting the stream into messages: several per read, messages cut across reads, faulty
// lengths, and the robot messages (version, titled text).
#include "decoder_support.h"

#include <random>

namespace {

using namespace dectest;

class DecoderFraming : public DecoderTest {};

QByteArray withLength(QByteArray bytes, uint32_t length) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(length >> (24 - 8 * i));
    return bytes;
}

// A stream with every kind of message the decoder handles, and some it skips.
QByteArray mixedStream() {
    QByteArray stream;
    stream += urenc::versionMessage("URControl", 5, 11);
    stream += sampleState(1);
    stream += urenc::message(5, QByteArray(33, '\x10'));
    stream += urenc::titledTextMessage("Status", "Picking");
    stream += urenc::variableArrayMessage(0, {"alpha", "beta"});
    stream +=
        urenc::variablesValueMessage(0, {urenc::var::integer(3, 7), urenc::var::real(3, 2.5f)});
    stream += sampleState(2);
    stream +=
        urenc::variablesValueMessage(0, {urenc::var::integer(3, 8), urenc::var::real(3, 3.5f)});
    stream += urenc::titledTextMessage("Status", "Placing");
    stream += urenc::robotStateMessage({urenc::toolPackage(sampleTool(3))});
    return stream;
}

TEST_F(DecoderFraming, TwoMessagesInOneReadAreDecodedInOrder) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.1"));
    feed(&robot, urenc::versionMessage("First", 3, 1) + sampleState(1) +
                     urenc::versionMessage("Second", 5, 11));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(1)));
    EXPECT_EQ(robot.projectName, QStringLiteral("Second"));
    EXPECT_EQ(robot.versionMajor, 5);
    EXPECT_EQ(robot.versionMinor, 11);
    EXPECT_EQ(logs(QStringLiteral("debug")),
              QStringList({QStringLiteral("UR Version. Robot: 127.0.2.1 UR Version: 3.1"),
                           QStringLiteral("UR Version. Robot: 127.0.2.1 UR Version: 5.11")}));
    EXPECT_TRUE(robot.pendingBytes.isEmpty());
    EXPECT_TRUE(warnings.lines().isEmpty());
}

TEST_F(DecoderFraming, UnknownMessagesAreSkippedByTheirLength) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.2"));
    // A skipped message whose body looks like a version message must not be taken as one.
    QByteArray lookalike = urenc::versionMessage("Fake", 9, 9);
    lookalike[4] = 5;
    QByteArray otherRobotMessage = urenc::versionMessage("Fake", 9, 9);
    otherRobotMessage[14] = 7;
    QByteArray otherGlobal = urenc::variableArrayMessage(0, {"x"});
    otherGlobal[13] = 2;
    feed(&robot, lookalike + otherRobotMessage + otherGlobal + urenc::message(200, {}) +
                     urenc::versionMessage("Real", 5, 9));
    EXPECT_EQ(robot.projectName, QStringLiteral("Real"));
    EXPECT_EQ(robot.versionMajor, 5);
    EXPECT_EQ(robot.versionMinor, 9);
    EXPECT_TRUE(robot.variableNames.isEmpty());
    EXPECT_TRUE(addedUids().isEmpty());
}

TEST_F(DecoderFraming, VersionMessageWithEmptyName) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.3"));
    robot.projectName = QStringLiteral("old");
    const QByteArray message = urenc::versionMessage("", 5, 24);
    ASSERT_EQ(message.at(15), 0);
    ASSERT_EQ(message.at(16), 5);
    ASSERT_EQ(message.at(17), 24);
    feed(&robot, message);
    EXPECT_EQ(robot.projectName, QString());
    EXPECT_EQ(robot.versionMajor, 5);
    EXPECT_EQ(robot.versionMinor, 24);
}

TEST_F(DecoderFraming, VersionNameEndsAtAZeroByteAndIsUtf8) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.4"));
    feed(&robot, urenc::versionMessage(QByteArray("Zelle\xC3\xA9\0junk", 12), 10, 3));
    EXPECT_EQ(robot.projectName, QString::fromUtf8("Zelle\xC3\xA9"));
    EXPECT_EQ(robot.versionMajor, 10);
    EXPECT_EQ(robot.versionMinor, 3);
}

TEST_F(DecoderFraming, TitledTextIsKeptByTitleAndOfferedOnce) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.5"));
    feed(&robot, urenc::titledTextMessage("Status", "Picking"));
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("Status")), QStringLiteral("Picking"));
    feed(&robot, urenc::titledTextMessage("Status", QByteArray("Placing\0rest", 12)));
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("Status")), QStringLiteral("Placing"));
    EXPECT_EQ(addedUids(), QStringList{QStringLiteral("Status")});

    // Once offered, a title is not offered again even after the values were cleared.
    robot.variableValues.clear();
    feed(&robot, urenc::titledTextMessage("Status", "Again"));
    EXPECT_EQ(addedUids(), QStringList{QStringLiteral("Status")});
    const QList<ItemInstancePlugin> items = host().addedItems();
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items.at(0).name, QStringLiteral("Status (User variable)"));
    EXPECT_EQ(items.at(0).deviceId, 3);
    EXPECT_TRUE(logs(QStringLiteral("debug"))
                    .contains(QStringLiteral("Add item (Status) to robot 127.0.2.5")));
}

TEST_F(DecoderFraming, TitleAlreadyAnItemOfTheDeviceIsNotOffered) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.6"));
    ItemInstancePlugin existing;
    existing.uid = QStringLiteral("Status");
    robot.device.items.append(existing);
    feed(&robot, urenc::titledTextMessage("Status", "Idle"));
    EXPECT_TRUE(addedUids().isEmpty());
    EXPECT_EQ(robot.variableValues.value(QStringLiteral("Status")), QStringLiteral("Idle"));
}

TEST_F(DecoderFraming, MessageSplitAtEveryPositionDecodesAsWhole) {
    const QByteArray stream = sampleState(1) + urenc::versionMessage("URControl", 5, 12) +
                              urenc::titledTextMessage("T", "x");
    urinstance whole = robotAt(QStringLiteral("127.0.2.7"));
    feed(&whole, stream);
    for (int cut = 0; cut <= stream.size(); ++cut) {
        urinstance split = robotAt(QStringLiteral("127.0.2.7"));
        feed(&split, stream.left(cut));
        feed(&split, stream.mid(cut));
        ASSERT_TRUE(sameDecoded(split, whole)) << "cut at " << cut;
    }
    EXPECT_TRUE(warnings.lines().isEmpty());
}

TEST_F(DecoderFraming, RandomReadSizesGiveTheSameRecordAsOnePiece) {
    QByteArray stream;
    for (int i = 0; i < 20; ++i)
        stream += mixedStream();
    urinstance whole = robotAt(QStringLiteral("127.0.2.8"));
    feed(&whole, stream);
    ASSERT_EQ(whole.variableValues.value(QStringLiteral("alpha")), QStringLiteral("8"));

    for (unsigned seed : {1u, 2u, 3u, 42u, 1234u}) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> size(1, 1500);
        urinstance pieces = robotAt(QStringLiteral("127.0.2.8"));
        for (int p = 0; p < stream.size();) {
            const int n = size(random);
            feed(&pieces, stream.mid(p, n));
            p += n;
        }
        ASSERT_TRUE(sameDecoded(pieces, whole)) << "seed " << seed;
    }
}

TEST_F(DecoderFraming, EveryReadSizeOfTheMixedStream) {
    const QByteArray stream = mixedStream();
    urinstance whole = robotAt(QStringLiteral("127.0.2.9"));
    feed(&whole, stream);
    for (int n = 1; n <= stream.size(); ++n) {
        urinstance pieces = robotAt(QStringLiteral("127.0.2.9"));
        for (int p = 0; p < stream.size(); p += n)
            feed(&pieces, stream.mid(p, n));
        ASSERT_TRUE(sameDecoded(pieces, whole)) << "reads of " << n;
    }
}

TEST_F(DecoderFraming, IncompleteHeaderIsKeptForTheNextRead) {
    const QByteArray state = sampleState(1);
    for (int headerBytes = 1; headerBytes <= 4; ++headerBytes) {
        urinstance robot = robotAt(QStringLiteral("127.0.2.10"));
        feed(&robot, urenc::versionMessage("A", 5, 1) + state.left(headerBytes));
        EXPECT_EQ(robot.pendingBytes, state.left(headerBytes));
        EXPECT_TRUE(robot.joints.isEmpty());
        feed(&robot, state.mid(headerBytes));
        EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(1))) << headerBytes;
        EXPECT_TRUE(robot.pendingBytes.isEmpty());
    }
}

TEST_F(DecoderFraming, ZeroLengthDropsTheRestOfTheRead) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.11"));
    feed(&robot, sampleState(1) + withLength(urenc::otherPackage(16, 20), 0) +
                     urenc::versionMessage("Lost", 5, 1));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(1)));
    EXPECT_EQ(robot.versionMajor, 0);
    EXPECT_EQ(warnings.lines(), QStringList{QStringLiteral("Faulty message read! Length: 0????")});
    EXPECT_TRUE(robot.pendingBytes.isEmpty());

    feed(&robot, urenc::versionMessage("Next", 5, 2));
    EXPECT_EQ(robot.projectName, QStringLiteral("Next"));
}

TEST_F(DecoderFraming, LengthsBelowTheHeaderAreFaulty) {
    for (uint32_t length : {1u, 3u, 4u}) {
        warnings.clear();
        urinstance robot = robotAt(QStringLiteral("127.0.2.12"));
        feed(&robot, withLength(urenc::otherPackage(16, 20), length) + sampleState(1));
        EXPECT_TRUE(robot.joints.isEmpty());
        EXPECT_EQ(warnings.lines(),
                  QStringList{QStringLiteral("Faulty message read! Length: %1").arg(length)});
        EXPECT_TRUE(robot.pendingBytes.isEmpty());
    }
}

TEST_F(DecoderFraming, LengthAboveTheBoundIsOutOfStep) {
    for (uint32_t length : {URWrapper::maxMessageLength + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        warnings.clear();
        urinstance robot = robotAt(QStringLiteral("127.0.2.13"));
        feed(&robot, withLength(urenc::otherPackage(16, 20), length) + sampleState(1));
        EXPECT_TRUE(robot.joints.isEmpty());
        EXPECT_EQ(warnings.lines(),
                  QStringList{QStringLiteral("Max msg size. Robot: \"127.0.2.13\"")});
        EXPECT_TRUE(robot.pendingBytes.isEmpty());

        feed(&robot, sampleState(2));
        EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(2)));
    }
}

TEST_F(DecoderFraming, FaultyLengthInKeptBytesDropsThemAndResumesWithTheNextRead) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.14"));
    // The read ends two bytes into a header whose length turns out to be 3.
    feed(&robot, sampleState(1) + QByteArray("\x00\x00", 2));
    EXPECT_EQ(robot.pendingBytes.size(), 2);
    feed(&robot, QByteArray("\x00\x03", 2) + urenc::versionMessage("Lost", 5, 1));
    EXPECT_EQ(warnings.lines(), QStringList{QStringLiteral("Faulty message read! Length: 3")});
    EXPECT_TRUE(robot.pendingBytes.isEmpty());
    EXPECT_EQ(robot.versionMajor, 0);

    feed(&robot, sampleState(2));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(2)));

    // The same for a header that says 0 and one that is far too long.
    warnings.clear();
    feed(&robot, QByteArray("\x00\x00\x00", 3));
    feed(&robot, QByteArray("\x00", 1) + sampleState(3));
    feed(&robot, QByteArray("\x7F", 1));
    feed(&robot, QByteArray("\x00\x00\x00", 3) + sampleState(3));
    EXPECT_EQ(warnings.lines(),
              QStringList({QStringLiteral("Faulty message read! Length: 0????"),
                           QStringLiteral("Max msg size. Robot: \"127.0.2.14\"")}));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(2)));
    feed(&robot, sampleState(4));
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(4)));
}

TEST_F(DecoderFraming, LargestMessageIsAcceptedAcrossManyReads) {
    const QByteArray big =
        urenc::message(77, QByteArray(int(URWrapper::maxMessageLength) - 5, '\x10'));
    const QByteArray stream = big + urenc::versionMessage("After", 5, 3);
    urinstance robot = robotAt(QStringLiteral("127.0.2.15"));
    for (int p = 0; p < stream.size(); p += 65535)
        feed(&robot, stream.mid(p, 65535));
    EXPECT_TRUE(warnings.lines().isEmpty());
    EXPECT_EQ(robot.projectName, QStringLiteral("After"));
    EXPECT_TRUE(robot.pendingBytes.isEmpty());
}

TEST_F(DecoderFraming, FullSizeReadOfWholeMessagesIsDecoded) {
    QByteArray read;
    int seed = 0;
    const QByteArray version = urenc::versionMessage("Full", 5, 15);
    while (read.size() + sampleState(seed).size() + version.size() + 5 <= 65535)
        read += sampleState(seed++);
    read += urenc::message(99, QByteArray(65535 - read.size() - version.size() - 5, '\x01'));
    read += version;
    ASSERT_EQ(read.size(), 65535);

    urinstance robot = robotAt(QStringLiteral("127.0.2.16"));
    feed(&robot, read);
    EXPECT_TRUE(warnings.lines().isEmpty());
    EXPECT_TRUE(sameJoints(robot.joints, sampleJoints(seed - 1)));
    EXPECT_EQ(robot.projectName, QStringLiteral("Full"));
    EXPECT_EQ(robot.versionMinor, 15);
    EXPECT_TRUE(robot.pendingBytes.isEmpty());
}

TEST_F(DecoderFraming, MessageLengthIsRecordedForEachMessage) {
    urinstance robot = robotAt(QStringLiteral("127.0.2.17"));
    const QByteArray version = urenc::versionMessage("V", 5, 1);
    feed(&robot, sampleState(1) + version);
    EXPECT_EQ(robot.messageLength, version.size());
}

} // namespace

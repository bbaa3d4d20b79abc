// libFuzzer target for the controller stream decoder.
//
// Input: a 5-byte prefix, then the stream.
//   byte 0, bits 0-2: the device setting "version" (absent, "0", "1", "2", "3", "-1", "x", "9")
//   byte 0, bit 3:    look for the names file on the first read, instead of comparing the
//                     split decode with the one-piece decode
//   byte 0, bit 4:    the device already has an item named like a common variable
//   byte 0, bit 5:    also feed the stream to each part's public entry point directly
//   bytes 1-4:        read sizes, used in turn (1 + b * b bytes, at most one full read)
//
// Besides the sanitizers' checks it asserts what must hold for any input: the joint list
// holds 0 or 6 entries, the kept tail is shorter than the largest message, no item is
// offered twice for one record, and when no framing fault was met, decoding in pieces gives
// the same record as in one piece.
#include "fuzz_host.h"
#include "ur.h"
#include "urinstance.h"
#include "urwrapper.h"

#include <QByteArray>
#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int framingWarnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &) {
    if (type == QtWarningMsg)
        ++framingWarnings;
}

void check(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "decoder invariant broken: %s\n", what);
        std::abort();
    }
}

bool sameBytes(const void *a, const void *b, size_t n) {
    return std::memcmp(a, b, n) == 0;
}

#define UR_SAME(x) (sameBytes(&a.x, &b.x, sizeof a.x))

bool sameJoint(const robotstate_joint &a, const robotstate_joint &b) {
    return UR_SAME(actualPosition) && UR_SAME(targetPosition) && UR_SAME(actualVelocity) &&
           UR_SAME(actualCurrent) && UR_SAME(actualVoltage) && UR_SAME(motorTemperature) &&
           UR_SAME(microTemperature) && UR_SAME(jointMode);
}

bool sameDecoded(const urinstance &a, const urinstance &b) {
    if (a.joints.size() != b.joints.size())
        return false;
    for (int j = 0; j < a.joints.size(); ++j) {
        if (!sameJoint(a.joints.at(j), b.joints.at(j)))
            return false;
    }
    const bool mode = UR_SAME(modeData.timestamp) && UR_SAME(modeData.isRealRobotConnected) &&
                      UR_SAME(modeData.isRealRobotEnabled) && UR_SAME(modeData.isPowerOnRobot) &&
                      UR_SAME(modeData.isEmergencyStopped) &&
                      UR_SAME(modeData.isProtectiveStopped) && UR_SAME(modeData.isProgramRunning) &&
                      UR_SAME(modeData.isProgramPaused) && UR_SAME(modeData.robotMode) &&
                      UR_SAME(modeData.controlMode) && UR_SAME(modeData.targetSpeedFraction) &&
                      UR_SAME(modeData.speedScaling) && UR_SAME(modeData.targetSpeedFractionLimit);
    const bool tool = UR_SAME(toolData.analogInputRange2) && UR_SAME(toolData.analogInputRange3) &&
                      UR_SAME(toolData.analogInput2) && UR_SAME(toolData.analogInput3) &&
                      UR_SAME(toolData.toolVoltage48V) && UR_SAME(toolData.toolOutputVoltage) &&
                      UR_SAME(toolData.toolCurrent) && UR_SAME(toolData.toolTemperature) &&
                      UR_SAME(toolData.toolMode);
    const bool board =
        UR_SAME(masterboardData.digitalInputBits) && UR_SAME(masterboardData.digitalOutputBits) &&
        UR_SAME(masterboardData.analogInput0) && UR_SAME(masterboardData.analogInput1) &&
        UR_SAME(masterboardData.analogOutput0) && UR_SAME(masterboardData.analogOutput1) &&
        UR_SAME(masterboardData.masterBoardTemperature) &&
        UR_SAME(masterboardData.robotVoltage48V) && UR_SAME(masterboardData.robotCurrent) &&
        UR_SAME(masterboardData.masterIOCurrent) && UR_SAME(masterboardData.safetyMode) &&
        UR_SAME(masterboardData.inReducedMode);
    const bool force = UR_SAME(forceData.x) && UR_SAME(forceData.y) && UR_SAME(forceData.z) &&
                       UR_SAME(forceData.rx) && UR_SAME(forceData.ry) && UR_SAME(forceData.rz) &&
                       UR_SAME(forceData.robotDexterity);
    return mode && tool && board && force && a.versionMajor == b.versionMajor &&
           a.versionMinor == b.versionMinor && a.projectName == b.projectName &&
           a.variableNames == b.variableNames && a.variableValues == b.variableValues &&
           a.variableCounts == b.variableCounts && a.variableCountTotal == b.variableCountTotal &&
           a.offeredItems == b.offeredItems && a.pendingBytes == b.pendingBytes;
}

urinstance makeRobot(uint8_t options) {
    static const char *const settings[8] = {nullptr, "0", "1", "2", "3", "-1", "x", "9"};
    urinstance robot;
    robot.device = DeviceInstancePlugin{};
    robot.device.id = 7;
    robot.device.address = QStringLiteral("127.0.7.1");
    if (const char *setting = settings[options & 7])
        robot.device.settings.insert(QStringLiteral("version"), QString::fromLatin1(setting));
    robot.variablesFileLoaded = !(options & 8);
    if (options & 16) {
        ItemInstancePlugin item;
        item.uid = QStringLiteral("a");
        robot.device.items.append(item);
    }
    return robot;
}

void checkInvariants(const urinstance &robot) {
    check(robot.joints.isEmpty() || robot.joints.size() == 6, "joint count");
    check(uint32_t(robot.pendingBytes.size()) < URWrapper::maxMessageLength, "kept tail size");
    const QStringList &offered = fuzz_host::offeredItems();
    const QSet<QString> distinct(offered.begin(), offered.end());
    check(distinct.size() == offered.size(), "item offered twice");
    for (const ItemInstancePlugin &item : robot.device.items)
        check(!distinct.contains(item.uid), "device item offered again");
}

void feedEntryPoints(const QByteArray &bytes, uint8_t options) {
    URWrapper w;
    fuzz_host::offeredItems().clear();
    urinstance robot = makeRobot(options);
    robot.variableNames.insert(0, QStringLiteral("a"));
    w.processRobotMessages(bytes, &robot);
    w.processGlobalMessages(bytes, &robot);
    robot.messageLength = w.getLength(bytes);
    unsigned int cursor = 5;
    w.processRobotStateMessages(bytes, &robot, &cursor);
    QList<QString> values;
    check(w.processVariable(bytes, &robot, &values) >= 2, "value size");
    w.getVariablesValue(bytes, &robot);
    w.getVariablesValue(bytes, &robot);
    w.convertPoseToString(bytes);
    checkInvariants(robot);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qInstallMessageHandler(countWarnings);
    // Every variable array message rewrites the names file: keep it in memory if we can.
    static QTemporaryDir dataDirectory(QDir(QStringLiteral("/dev/shm")).exists()
                                           ? QStringLiteral("/dev/shm/ur-fuzz-XXXXXX")
                                           : QDir::tempPath() + QStringLiteral("/ur-fuzz-XXXXXX"));
    UR::interface.dataDirectory = dataDirectory.path();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5)
        return 0;
    const uint8_t options = data[0];
    int readSizes[4];
    for (int i = 0; i < 4; ++i)
        readSizes[i] = qMin(1 + int(data[1 + i]) * int(data[1 + i]), 65535);
    const QByteArray stream(reinterpret_cast<const char *>(data + 5), int(size - 5));

    URWrapper wrapper;
    framingWarnings = 0;
    fuzz_host::offeredItems().clear();
    urinstance pieces = makeRobot(options);
    for (int p = 0, turn = 0; p < stream.size(); ++turn) {
        const int n = readSizes[turn % 4];
        wrapper.wrapMessage(&pieces, stream.mid(p, n));
        checkInvariants(pieces);
        p += n;
    }
    const bool faultInPieces = framingWarnings != 0;

    if (!(options & 8)) {
        framingWarnings = 0;
        fuzz_host::offeredItems().clear();
        urinstance whole = makeRobot(options);
        wrapper.wrapMessage(&whole, stream);
        checkInvariants(whole);
        if (!faultInPieces && framingWarnings == 0)
            check(sameDecoded(pieces, whole), "split decode differs from one-piece decode");
    }

    if (options & 32)
        feedEntryPoints(stream, options);
    return 0;
}

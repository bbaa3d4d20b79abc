// libFuzzer target for the controller stream decoder. Input: a 5-byte prefix, then the stream.
//   byte 0, bits 0-2: the device setting "version" (absent, "0", "1", "2", "3", "-1", "x", "9")
//   byte 0, bit 3:    look for the names file on the first read, instead of comparing the
//                     split decode with the one-piece decode
//   byte 0, bit 4:    the device already has an item named like a common variable
//   bytes 1-4:        read sizes, used in turn (1 + b * b bytes, at most one full read)
// Besides the sanitizers' checks it asserts what must hold for any input: the joint list
// holds 0 or 6 entries, the kept tail is shorter than the largest message, no item is
// offered twice for one record, and when no framing fault was met, decoding in pieces gives
// the same record as in one piece.
#include "decoded_difference.h"
#include "fuzz_host.h"
#include "ur.h"
#include "urwrapper.h"

#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

int framingWarnings = 0;

void countWarnings(QtMsgType type, const QMessageLogContext &, const QString &) {
    if (type == QtWarningMsg)
        ++framingWarnings;
}

void check(bool condition, const char *what, const std::string &detail = {}) {
    if (!condition) {
        std::fprintf(stderr, "decoder invariant broken: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

urinstance makeRobot(uint8_t options) {
    static const char *const settings[8] = {nullptr, "0", "1", "2", "3", "-1", "x", "9"};
    urinstance robot;
    robot.device.address = QStringLiteral("127.0.7.1");
    if (const char *setting = settings[options & 7])
        robot.device.settings.insert(QStringLiteral("version"), QString::fromLatin1(setting));
    robot.variablesFileLoaded = !(options & 8);
    if (options & 16) {
        robot.device.items.append(ItemInstancePlugin{});
        robot.device.items.last().uid = QStringLiteral("a");
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
    if (options & 8)
        return 0;
    const bool faultInPieces = framingWarnings != 0;
    framingWarnings = 0;
    fuzz_host::offeredItems().clear();
    urinstance whole = makeRobot(options);
    wrapper.wrapMessage(&whole, stream);
    checkInvariants(whole);
    if (!faultInPieces && framingWarnings == 0) {
        const std::string difference = decoded::difference(pieces, whole);
        check(difference.empty(), "split decode differs from one-piece decode in", difference);
    }
    return 0;
}

// libFuzzer target for the controller stream decoder. Input: a 5-byte prefix, then the stream.
//   byte 0, bits 0-2: the device setting "version" (absent, "0", "1", "2", "3", "-1", "x", "9")
//   byte 0, bit 3:    look for the names file on the first read, instead of comparing the
//                     split decode with the one-piece decode
//   byte 0, bit 4:    the device already has an item named like a common variable
//   bytes 1-4:        read sizes, used in turn (1 + b * b bytes, at most one full read)
// Besides the sanitizers' checks it asserts, once the whole stream is decoded, what must hold
// for any input: the joint list holds 0 or 6 entries, the kept tail is shorter than the
// largest message, no item is offered twice for one record nor is a device item offered, and
// when no framing fault was met, decoding in pieces gives the same record as in one piece.
#include "decoded_difference.h"
#include "fuzz_host.h"
#include "hostgateway.h"
#include "ur.h"
#include "urwrapper.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sanitizer/asan_interface.h>

namespace {

// Records as each option byte sets them up, built once: copies share their containers.
urinstance startingRecords[32];

void check(bool condition, const char *what, const std::string &detail = {}) {
    if (!condition) {
        std::fprintf(stderr, "decoder invariant broken: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

// Checks a record after a run, then forgets what the host was told, so that the next run
// starts afresh and no input ends holding more memory than it began with (libFuzzer reruns
// those to look for leaks).
void finishRun(const urinstance &robot) {
    check(robot.joints.isEmpty() || robot.joints.size() == 6, "joint count");
    check(uint32_t(robot.pendingBytes.size()) < URWrapper::maxMessageLength, "kept tail size");
    fuzz_host::Offered &offered = fuzz_host::offered();
    check(!offered.twice, "item offered twice");
    for (const ItemInstancePlugin &item : robot.device.items)
        check(!offered.uids.contains(item.uid), "device item offered again");
    offered = {};
    HostGateway::forgetItemNames();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Framing faults are seen in DecodeResult; the warnings about them would only cost time.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    // A set of variable names that differs from the file rewrites it: keep it in memory if
    // we can.
    static QTemporaryDir dataDirectory(QDir(QStringLiteral("/dev/shm")).exists()
                                           ? QStringLiteral("/dev/shm/ur-fuzz-XXXXXX")
                                           : QDir::tempPath() + QStringLiteral("/ur-fuzz-XXXXXX"));
    UR::interface.dataDirectory = dataDirectory.path();
    static const char *const settings[8] = {nullptr, "0", "1", "2", "3", "-1", "x", "9"};
    for (int options = 0; options < 32; ++options) {
        urinstance &robot = startingRecords[options];
        robot.device.address = QStringLiteral("127.0.7.1");
        if (const char *setting = settings[options & 7])
            robot.device.settings.insert(QStringLiteral("version"), QString::fromLatin1(setting));
        robot.variablesFileLoaded = !(options & 8);
        if (options & 16) {
            robot.device.items.append(ItemInstancePlugin{});
            robot.device.items.last().uid = QStringLiteral("a");
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5)
        return 0;
    const uint8_t options = data[0];
    // Pieces are decoded in place: a copy of each would cost more than decoding it.
    const char *stream = reinterpret_cast<const char *>(data + 5);
    size -= 5;

    URWrapper wrapper;
    urinstance pieces = startingRecords[options & 31];
    bool faultInPieces = false;
    // Only the piece being decoded is addressable, as if each read had a buffer of its own.
    // After a fault the next piece is decoded as a fresh read, as the connection would.
    ASAN_POISON_MEMORY_REGION(stream, size);
    for (size_t p = 0, turn = 0; p < size; ++turn) {
        const int b = data[1 + turn % 4];
        const size_t n = std::min<size_t>(1 + b * b, size - p);
        ASAN_UNPOISON_MEMORY_REGION(stream + p, n);
        faultInPieces |= wrapper.decode(&pieces, stream + p, n).streamLost;
        ASAN_POISON_MEMORY_REGION(stream + p, n);
        p += n;
    }
    ASAN_UNPOISON_MEMORY_REGION(stream, size);
    finishRun(pieces);
    if (options & 8)
        return 0;
    urinstance whole = startingRecords[options & 31];
    const bool faultInWhole = wrapper.decode(&whole, stream, size).streamLost;
    finishRun(whole);
    if (!faultInPieces && !faultInWhole) {
        const std::string difference = decoded::difference(pieces, whole);
        check(difference.empty(), "split decode differs from one-piece decode in", difference);
    }
    return 0;
}

// Decoder throughput on real controller messages and on a mixed stream cut into reads of
// varied sizes. Besides time per message and MB/s it reports heap allocations per
// message: operator new/delete and the C allocator (which Qt's containers use) are
// replaced in this binary by counting versions.
#include "noru_standin.h"
#include "urencoder.h"
#include "urinstance.h"
#include "urwrapper.h"

#include <QByteArray>
#include <QList>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

// ---- allocation counting ----------------------------------------------------------------

namespace {
std::atomic<unsigned long long> allocations{0};
void countAllocation() {
    allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

#if defined(__SANITIZE_ADDRESS__)
#define UR_COUNT_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UR_COUNT_MALLOC 0
#endif
#endif
#ifndef UR_COUNT_MALLOC
#define UR_COUNT_MALLOC 1
#endif

#if UR_COUNT_MALLOC
// glibc's own entry points, so that the counting versions below can forward to them.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void __libc_free(void *pointer);

void *malloc(size_t size) {
    countAllocation();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    countAllocation();
    return __libc_calloc(count, size);
}

void *realloc(void *pointer, size_t size) {
    countAllocation();
    return __libc_realloc(pointer, size);
}

void free(void *pointer) {
    __libc_free(pointer);
}
}
#endif

namespace {
void *allocate(size_t size) {
#if !UR_COUNT_MALLOC
    countAllocation();
#endif
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
} // namespace

void *operator new(size_t size) {
    return allocate(size);
}
void *operator new[](size_t size) {
    return allocate(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](size_t size, const std::nothrow_t &tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}

// ---- inputs -----------------------------------------------------------------------------

namespace {

QByteArray capture(const char *name) {
    return urenc::capture(QStringLiteral(UR_VECTORS_DIR), QString::fromLatin1(name));
}

urinstance benchRobot() {
    urinstance robot;
    robot.device = DeviceInstancePlugin{};
    robot.device.id = 1;
    robot.device.address = QStringLiteral("127.0.9.1");
    robot.variablesFileLoaded = true; // no file look-up in the measured loop
    return robot;
}

struct Reads {
    QList<QByteArray> reads;
    int messages = 0;
    qint64 bytes = 0;
};

// The stream cut into reads of sizes drawn between minRead and maxRead (seeded).
Reads cutIntoReads(const QByteArray &stream, int messages, int minRead, int maxRead) {
    Reads out;
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> size(minRead, maxRead);
    for (int p = 0; p < stream.size();) {
        const int n = size(random);
        out.reads.append(stream.mid(p, n));
        p += n;
    }
    out.messages = messages;
    out.bytes = stream.size();
    return out;
}

void report(benchmark::State &state, qint64 messages, qint64 bytes,
            unsigned long long allocationCount) {
    state.SetItemsProcessed(messages);
    state.SetBytesProcessed(bytes);
    state.counters["allocs/msg"] =
        benchmark::Counter(messages ? double(allocationCount) / double(messages) : 0.0);
    state.counters["ns/msg"] = benchmark::Counter(
        double(messages), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One whole message per read, as the controller sends it every 100 ms.
void wholeMessages(benchmark::State &state, const char *file, int messageSize) {
    const QByteArray bytes = capture(file);
    if (bytes.isEmpty() || bytes.size() % messageSize != 0) {
        state.SkipWithError("capture missing");
        return;
    }
    QList<QByteArray> messages;
    for (int p = 0; p < bytes.size(); p += messageSize)
        messages.append(bytes.mid(p, messageSize));

    URWrapper wrapper;
    urinstance robot = benchRobot();
    wrapper.wrapMessage(&robot, messages.first()); // first decode builds the joint list

    const unsigned long long before = allocations.load();
    qint64 count = 0;
    for (auto _ : state) {
        const QByteArray &read = messages.at(int(count % messages.size()));
        wrapper.decode(&robot, read.constData(), size_t(read.size()));
        ++count;
    }
    report(state, count, count * messageSize, allocations.load() - before);
    benchmark::DoNotOptimize(robot.joints.first().motorTemperature);
}

void streamOfReads(benchmark::State &state, const Reads &input) {
    URWrapper wrapper;
    urinstance robot = benchRobot();
    for (const QByteArray &read : input.reads)
        wrapper.wrapMessage(&robot, read);

    const unsigned long long before = allocations.load();
    qint64 rounds = 0;
    for (auto _ : state) {
        for (const QByteArray &read : input.reads)
            wrapper.decode(&robot, read.constData(), size_t(read.size()));
        if (++rounds % 256 == 0) {
            // The stand-in host keeps every log line; drop them now and then, unmeasured.
            state.PauseTiming();
            noru_standin::Host::instance().clearRecords();
            state.ResumeTiming();
        }
    }
    report(state, rounds * input.messages, rounds * input.bytes, allocations.load() - before);
    benchmark::DoNotOptimize(robot.joints.first().motorTemperature);
}

void BM_SteadyState716(benchmark::State &state) {
    wholeMessages(state, "eseries-5.10-three-robot-states.bin", 716);
}

void BM_FirstMessage1386(benchmark::State &state) {
    wholeMessages(state, "eseries-5.8-first-robot-state.bin", 1386);
}

void BM_Hardware682(benchmark::State &state) {
    wholeMessages(state, "eseries-5.x-hardware-robot-state.bin", 682);
}

// The 716-byte messages arriving in reads that cut them anywhere: every message is
// reassembled from the tail of one read and the start of the next.
void BM_SteadyState716CutReads(benchmark::State &state) {
    const QByteArray three = capture("eseries-5.10-three-robot-states.bin");
    if (three.size() != 3 * 716) {
        state.SkipWithError("capture missing");
        return;
    }
    QByteArray stream;
    for (int i = 0; i < 100; ++i)
        stream += three;
    streamOfReads(state, cutIntoReads(stream, 300, 200, 1500));
}

// Steady-state messages with version and titled text messages mixed in, as after a
// program start, in reads of 1 byte up to a full read.
void BM_MixedStream(benchmark::State &state) {
    const QByteArray three = capture("eseries-5.10-three-robot-states.bin");
    const QByteArray first = capture("eseries-5.8-first-robot-state.bin");
    const QByteArray hardware = capture("eseries-5.x-hardware-robot-state.bin");
    if (three.size() != 3 * 716 || first.isEmpty() || hardware.isEmpty()) {
        state.SkipWithError("capture missing");
        return;
    }
    QByteArray stream = first;
    int messages = 1;
    for (int i = 0; i < 60; ++i) {
        stream += three;
        stream += hardware;
        messages += 4;
        if (i % 10 == 0) {
            stream += urenc::versionMessage("URControl", 5, 10, 1, 1234);
            ++messages;
        }
        if (i % 4 == 0) {
            stream += urenc::titledTextMessage("Cycle", "Pick " + QByteArray::number(i));
            ++messages;
        }
    }
    streamOfReads(state, cutIntoReads(stream, messages, 1, 8192));
}

} // namespace

BENCHMARK(BM_SteadyState716);
BENCHMARK(BM_SteadyState716CutReads);
BENCHMARK(BM_FirstMessage1386);
BENCHMARK(BM_Hardware682);
BENCHMARK(BM_MixedStream);

BENCHMARK_MAIN();

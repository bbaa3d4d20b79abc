#include "utilisation.h"

namespace utilisation {

namespace {

// Flag bytes of the robot mode data; the controller may send any non-zero byte for "on".
constexpr size_t poweredAt = 15;
constexpr size_t emergencyStoppedAt = 16;
constexpr size_t protectiveStoppedAt = 17;
constexpr size_t programRunningAt = 18;
constexpr size_t programPausedAt = 19;

enum Flag : uint8_t {
    powered = 1,
    emergencyStopped = 2,
    protectiveStopped = 4,
    programRunning = 8,
    programPaused = 16,
};

} // namespace

void count(robotstate_utilisation *counters, ByteView modeData, int64_t nowMs) {
    if (modeData.size <= programPausedAt)
        return;
    const uint8_t flags = uint8_t((modeData.u8(poweredAt) ? powered : 0) |
                                  (modeData.u8(emergencyStoppedAt) ? emergencyStopped : 0) |
                                  (modeData.u8(protectiveStoppedAt) ? protectiveStopped : 0) |
                                  (modeData.u8(programRunningAt) ? programRunning : 0) |
                                  (modeData.u8(programPausedAt) ? programPaused : 0));
    robotstate_utilisation::Previous &previous = counters->previous;
    // Both states on one connection: what the previous one said held until this one.
    if (previous.ms != 0) {
        const int64_t spanMs = nowMs - previous.ms;
        if (spanMs > 0 && spanMs <= maxSpanMs) {
            const uint64_t span = uint64_t(spanMs);
            counters->connectedMs += span;
            if (previous.flags & powered)
                counters->poweredMs += span;
            if ((previous.flags & (programRunning | programPaused)) == programRunning)
                counters->programRunningMs += span;
        }
        const uint8_t began = uint8_t(flags & ~previous.flags);
        counters->programStarts += (began & programRunning) != 0;
        counters->protectiveStops += (began & protectiveStopped) != 0;
        counters->emergencyStops += (began & emergencyStopped) != 0;
    }
    previous.ms = nowMs;
    previous.flags = flags;
}

} // namespace utilisation

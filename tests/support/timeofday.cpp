// The time of day of this process, steppable as a time server or an operator steps a plant
// PC's clock. The monotonic clock is left alone. Executables that step it export their
// symbols (ENABLE_EXPORTS), so that the plug-in and Qt read the time of day through here.
#include "ur_test_support.h"

#include <atomic>
#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>

namespace {
std::atomic<int64_t> offsetSeconds{0};
}

void ur_test::stepTimeOfDay(int64_t seconds) {
    offsetSeconds.fetch_add(seconds);
}

extern "C" int clock_gettime(clockid_t clock, timespec *time) noexcept {
    using Real = int (*)(clockid_t, timespec *);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "clock_gettime"));
    const int result = real(clock, time);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        time->tv_sec += offsetSeconds.load();
    return result;
}

extern "C" int gettimeofday(timeval *__restrict time, void *__restrict zone) noexcept {
    using Real = int (*)(timeval *, void *);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gettimeofday"));
    const int result = real(time, zone);
    if (result == 0)
        time->tv_sec += offsetSeconds.load();
    return result;
}

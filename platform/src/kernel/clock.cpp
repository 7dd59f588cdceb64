// GetTickCount / GetTickCount64 / Sleep on the monotonic clock.
#include "platform/kernel.h"

#include <cerrno>
#include <ctime>
#include <sched.h>

namespace {

ULONGLONG monotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u +
           static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

} // namespace

// The 32-bit count wraps after 2^32 ms (49.7 days), as the design expects: callers compare
// tick counts by unsigned subtraction.
extern "C" DWORD GetTickCount() {
    return static_cast<DWORD>(monotonicMilliseconds());
}

extern "C" ULONGLONG GetTickCount64() {
    return monotonicMilliseconds();
}

// Sleeps to an absolute deadline on the monotonic clock, so a signal (EINTR) neither cuts the
// sleep short nor stretches it. Sleep(0) gives up the rest of the time slice; INFINITE never
// returns.
extern "C" void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            timespec day{86400, 0};
            clock_nanosleep(CLOCK_MONOTONIC, 0, &day, nullptr);
        }
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

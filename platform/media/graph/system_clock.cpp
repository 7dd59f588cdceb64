// SystemClock: monotonic time in 100-ns units; registered as CLSID_SystemClock.
#include "media/graph/system_clock.h"

#include <platform/com_registry.h>

#include <chrono>

namespace platform::media {

HRESULT SystemClock::GetTime(REFERENCE_TIME* time) {
    if (!time)
        return E_POINTER;
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    *time = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    return S_OK;
}

namespace {
const ClassRegistration registration{CLSID_SystemClock, createInstance<SystemClock>};
} // namespace

} // namespace platform::media

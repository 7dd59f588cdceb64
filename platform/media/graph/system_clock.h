// SystemClock: the graph's reference clock, counting 100-ns units of the monotonic clock.
#pragma once

#include <platform/com_object.h>
#include <platform/media/filter_interfaces.h>

namespace platform::media {

// Any thread may read the time. Advise notifications are not offered: no filter here waits
// on the clock yet.
class SystemClock final : public ComObject<IReferenceClock> {
public:
    HRESULT GetTime(REFERENCE_TIME* time) override;
    HRESULT AdviseTime(REFERENCE_TIME, REFERENCE_TIME, uintptr_t, DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, uintptr_t, DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT Unadvise(DWORD_PTR) override { return S_FALSE; }

private:
    ~SystemClock() override = default;
};

} // namespace platform::media

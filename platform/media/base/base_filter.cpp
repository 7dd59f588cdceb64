// BaseFilter: state changes, pin lookup and graph membership.
#include "media/base/base_filter.h"

#include "media/base/base_pin.h"
#include "media/base/enumerator.h"
#include "media/base/media_type.h"

#include <platform/media/graph_interfaces.h>

#include <algorithm>
#include <vector>

namespace platform::media {

BaseFilter::BaseFilter(REFCLSID clsid) : clsid_(clsid) {}

HRESULT BaseFilter::queryOther(REFIID riid, void** object) {
    if (riid == IID_IMediaFilter || riid == IID_IPersist) {
        *object = static_cast<IBaseFilter*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT BaseFilter::GetClassID(CLSID* classId) {
    if (!classId)
        return E_POINTER;
    *classId = clsid_;
    return S_OK;
}

// Stopped -> Paused: pools committed, gate open, then the filter's own threads may start.
HRESULT BaseFilter::activate() {
    for (int i = 0; i < pinCount(); ++i) {
        if (HRESULT hr = pin(i)->active(); FAILED(hr)) {
            for (int j = 0; j < i; ++j)
                pin(j)->beginInactive();
            return hr;
        }
    }
    gate_.open();
    if (HRESULT hr = onActivate(); FAILED(hr)) {
        gate_.refuse();
        for (int i = 0; i < pinCount(); ++i)
            pin(i)->beginInactive();
        return hr;
    }
    return S_OK;
}

HRESULT BaseFilter::Pause() {
    std::lock_guard lock(stateLock_);
    const FILTER_STATE current = state();
    if (current == State_Stopped) {
        if (HRESULT hr = activate(); FAILED(hr))
            return hr;
    }
    state_.store(State_Paused, std::memory_order_release);
    if (current == State_Running)
        onPaused();
    return S_OK;
}

HRESULT BaseFilter::Run(REFERENCE_TIME start) {
    std::lock_guard lock(stateLock_);
    if (state() == State_Stopped) {
        if (HRESULT hr = activate(); FAILED(hr))
            return hr;
    }
    start_ = start;
    state_.store(State_Running, std::memory_order_release);
    onRunning();
    return S_OK;
}

// Control thread. The order matters: refuse new samples, ask the filter's threads to end and
// decommit pools (so a thread blocked in GetBuffer wakes), wait for every streaming thread to
// leave, then let the filter join and free.
HRESULT BaseFilter::Stop() {
    std::lock_guard lock(stateLock_);
    if (state() == State_Stopped)
        return S_OK;
    state_.store(State_Stopped, std::memory_order_release);
    gate_.refuse();
    onStopping();
    for (int i = 0; i < pinCount(); ++i)
        pin(i)->beginInactive();
    gate_.drain();
    onStopped();
    return S_OK;
}

HRESULT BaseFilter::GetState(DWORD, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = this->state();
    return S_OK;
}

HRESULT BaseFilter::SetSyncSource(IReferenceClock* clock) {
    std::lock_guard lock(stateLock_);
    clock_ = clock;
    return S_OK;
}

HRESULT BaseFilter::GetSyncSource(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    std::lock_guard lock(stateLock_);
    *clock = nullptr;
    if (clock_)
        clock_.CopyTo(clock);
    return S_OK;
}

HRESULT BaseFilter::EnumPins(IEnumPins** pins) {
    if (!pins)
        return E_POINTER;
    std::vector<ComPtr<IPin>> list;
    for (int i = 0; i < pinCount(); ++i)
        list.emplace_back(pin(i));
    *pins = makeCom<PinEnumerator>(std::move(list)).Detach();
    return S_OK;
}

HRESULT BaseFilter::FindPin(LPCWSTR id, IPin** found) {
    if (!id || !found)
        return E_POINTER;
    *found = nullptr;
    for (int i = 0; i < pinCount(); ++i) {
        if (pin(i)->name() == id) {
            *found = pin(i);
            (*found)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT BaseFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (!info)
        return E_POINTER;
    std::lock_guard lock(stateLock_);
    *info = FILTER_INFO{};
    const size_t length = std::min<size_t>(name_.size(), MAX_FILTER_NAME - 1);
    std::copy_n(name_.data(), length, info->achName);
    info->pGraph = graph_;
    if (graph_)
        graph_->AddRef();
    return S_OK;
}

HRESULT BaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    std::lock_guard lock(stateLock_);
    graph_ = graph;
    name_ = graph && name ? std::u16string(name) : std::u16string();
    return S_OK;
}

HRESULT BaseFilter::QueryVendorInfo(LPWSTR*) {
    return E_NOTIMPL;
}

HRESULT BaseFilter::getMediaType(const BasePin&, int, MediaType&) {
    return VFW_S_NO_MORE_ITEMS;
}
HRESULT BaseFilter::checkConnect(const BasePin&, IPin*) {
    return S_OK;
}
HRESULT BaseFilter::completeConnect(BasePin&) {
    return S_OK;
}
void BaseFilter::breakConnect(BasePin&) {}
HRESULT BaseFilter::decideBufferSize(OutputPin&, ALLOCATOR_PROPERTIES&) {
    return E_NOTIMPL;
}
HRESULT BaseFilter::receive(InputPin&, IMediaSample*) {
    return E_UNEXPECTED;
}
HRESULT BaseFilter::endOfStream(InputPin&) {
    return S_OK;
}
HRESULT BaseFilter::queryPinInterface(BasePin&, REFIID, void**) {
    return E_NOINTERFACE;
}

} // namespace platform::media

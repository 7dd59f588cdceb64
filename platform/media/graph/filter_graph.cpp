// FilterGraph: membership, state changes and seeking; connection lives in graph_connect.cpp.
#include "media/graph/filter_graph.h"

#include "media/base/enumerator.h"
#include "media/base/stream_gate.h"
#include "media/graph/pin_walk.h"
#include "media/graph/system_clock.h"

#include <platform/com_registry.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

namespace platform::media {

namespace {
// Start running a little after the call, as filters need a moment to see the start time.
constexpr REFERENCE_TIME kStartDelay = 10 * 10000;
// Longest wait for a paused graph to cue its first picture (a file's first frame).
constexpr LONG kCueTimeoutMs = 10000;

void disconnectAll(IBaseFilter* filter) {
    for (auto& pin : pinsOf(filter)) {
        if (auto peer = peerOf(pin.Get())) {
            peer->Disconnect();
            pin->Disconnect();
        }
    }
}
} // namespace

FilterGraph::~FilterGraph() {
    stopAll(downstreamFirst());
    for (auto& member : members_) {
        disconnectAll(member.filter.Get());
        member.filter->JoinFilterGraph(nullptr, nullptr);
    }
}

HRESULT FilterGraph::queryOther(REFIID riid, void** object) {
    if (riid == IID_IFilterGraph) {
        *object = static_cast<IGraphBuilder*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

std::vector<ComPtr<IBaseFilter>> FilterGraph::members() {
    std::lock_guard lock(mutex_);
    std::vector<ComPtr<IBaseFilter>> list;
    for (auto& member : members_)
        list.push_back(member.filter);
    return list;
}

bool FilterGraph::contains(IBaseFilter* filter) {
    std::lock_guard lock(mutex_);
    return std::any_of(members_.begin(), members_.end(),
                       [&](const Member& m) { return m.filter.Get() == filter; });
}

bool FilterGraph::pinInGraph(IPin* pin) {
    auto filter = filterOf(pin);
    return filter && contains(filter.Get());
}

std::vector<ComPtr<IBaseFilter>> FilterGraph::downstreamFirst() {
    const auto all = members();
    std::vector<ComPtr<IBaseFilter>> order;
    std::set<IBaseFilter*> seen;
    std::function<void(IBaseFilter*)> visit = [&](IBaseFilter* filter) {
        if (!seen.insert(filter).second)
            return;
        for (auto& pin : pinsOf(filter)) {
            if (directionOf(pin.Get()) != PINDIR_OUTPUT)
                continue;
            auto next = filterOf(peerOf(pin.Get()).Get());
            const bool member = next && std::any_of(all.begin(), all.end(), [&](const auto& f) {
                                    return f.Get() == next.Get();
                                });
            if (member)
                visit(next.Get());
        }
        order.emplace_back(filter);
    };
    for (auto& filter : all)
        visit(filter.Get());
    return order;
}

HRESULT FilterGraph::AddFilter(IBaseFilter* filter, LPCWSTR name) {
    if (!filter)
        return E_POINTER;
    std::u16string unique;
    bool renamed = false;
    ComPtr<IReferenceClock> clock;
    {
        std::lock_guard lock(mutex_);
        auto taken = [&](const std::u16string& n) {
            return std::any_of(members_.begin(), members_.end(),
                               [&](const Member& m) { return m.name == n; });
        };
        if (std::any_of(members_.begin(), members_.end(),
                        [&](const Member& m) { return m.filter.Get() == filter; }))
            return E_INVALIDARG;
        const std::u16string base = name && *name ? std::u16string(name) : u"Filter";
        unique = base;
        for (int n = 1; taken(unique); ++n) {
            char digits[16];
            std::snprintf(digits, sizeof digits, " %04d", n);
            unique = base + std::u16string(digits, digits + std::char_traits<char>::length(digits));
        }
        renamed = unique != base && name && *name;
        members_.push_back({ComPtr<IBaseFilter>(filter), unique});
        clock = clock_;
    }
    if (HRESULT hr = filter->JoinFilterGraph(this, unique.c_str()); FAILED(hr)) {
        std::lock_guard lock(mutex_);
        std::erase_if(members_, [&](const Member& m) { return m.filter.Get() == filter; });
        return hr;
    }
    if (clock)
        filter->SetSyncSource(clock.Get());
    return renamed ? VFW_S_DUPLICATE_NAME : S_OK;
}

// Connections change only while stopped, so a running graph keeps its filters.
HRESULT FilterGraph::RemoveFilter(IBaseFilter* filter) {
    if (!filter)
        return E_POINTER;
    if (!contains(filter))
        return VFW_E_NOT_FOUND;
    if (state_.load() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    ComPtr<IBaseFilter> keep(filter);
    disconnectAll(filter);
    filter->JoinFilterGraph(nullptr, nullptr);
    filter->SetSyncSource(nullptr);
    std::lock_guard lock(mutex_);
    std::erase_if(members_, [&](const Member& m) { return m.filter.Get() == filter; });
    return S_OK;
}

HRESULT FilterGraph::EnumFilters(IEnumFilters** filters) {
    if (!filters)
        return E_POINTER;
    *filters = makeCom<FilterEnumerator>(members()).Detach();
    return S_OK;
}

HRESULT FilterGraph::FindFilterByName(LPCWSTR name, IBaseFilter** filter) {
    if (!name || !filter)
        return E_POINTER;
    *filter = nullptr;
    std::lock_guard lock(mutex_);
    for (auto& member : members_) {
        if (member.name == name)
            return member.filter.CopyTo(filter);
    }
    return VFW_E_NOT_FOUND;
}

HRESULT FilterGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) {
    if (!out || !in)
        return E_POINTER;
    if (!pinInGraph(out) || !pinInGraph(in))
        return VFW_E_NOT_IN_GRAPH;
    return out->Connect(in, mt);
}

HRESULT FilterGraph::Disconnect(IPin* pin) {
    if (!pin)
        return E_POINTER;
    return pin->Disconnect();
}

HRESULT FilterGraph::SetDefaultSyncSource() {
    ComPtr<IReferenceClock> clock = makeCom<SystemClock>();
    {
        std::lock_guard lock(mutex_);
        clock_ = clock;
    }
    for (auto& filter : members())
        filter->SetSyncSource(clock.Get());
    return S_OK;
}

void FilterGraph::stopAll(const std::vector<ComPtr<IBaseFilter>>& order) {
    for (auto& filter : order)
        filter->Stop();
    state_.store(State_Stopped);
}

// Control thread. Downstream filters change first, so a sample always meets a filter that is
// at least as far along as its sender; stopping the renderer first lets upstream threads see
// their deliveries refused and leave.
HRESULT FilterGraph::changeState(FILTER_STATE target) {
    if (StreamGate::onStreamingThread())
        return VFW_E_WRONG_STATE;
    std::lock_guard change(changeMutex_);
    const auto order = downstreamFirst();
    if (target == State_Stopped) {
        stopAll(order);
        return S_OK;
    }
    const FILTER_STATE current = state_.load();
    if (target == current)
        return S_OK;
    if (target == State_Paused || current == State_Stopped) {
        for (auto& filter : order) {
            if (HRESULT hr = filter->Pause(); FAILED(hr)) {
                stopAll(order);
                return hr;
            }
        }
        state_.store(State_Paused);
    }
    if (target == State_Paused)
        return S_OK;
    ComPtr<IReferenceClock> clock;
    {
        std::lock_guard lock(mutex_);
        clock = clock_;
    }
    if (!clock) {
        SetDefaultSyncSource();
        std::lock_guard lock(mutex_);
        clock = clock_;
    }
    REFERENCE_TIME now = 0;
    clock->GetTime(&now);
    for (auto& filter : order) {
        if (HRESULT hr = filter->Run(now + kStartDelay); FAILED(hr)) {
            stopAll(order);
            return hr;
        }
    }
    state_.store(State_Running);
    return S_OK;
}

HRESULT FilterGraph::Run() {
    return changeState(State_Running);
}
HRESULT FilterGraph::Pause() {
    return changeState(State_Paused);
}
HRESULT FilterGraph::Stop() {
    return changeState(State_Stopped);
}

// Ready means every filter has finished pausing: a renderer has its first picture (cued)
// or has seen the stream end. Live sources deliver nothing while paused; their renderers do
// not wait for a picture.
HRESULT FilterGraph::StopWhenReady() {
    if (HRESULT hr = changeState(State_Paused); FAILED(hr))
        return hr;
    OAFilterState state = State_Paused;
    GetState(kCueTimeoutMs, &state);
    return changeState(State_Stopped);
}

// Filters change state synchronously, so every filter has arrived when this asks; a filter
// that reports an intermediate state gets the caller's time-out.
HRESULT FilterGraph::GetState(LONG msTimeout, OAFilterState* state) {
    if (!state)
        return E_POINTER;
    *state = state_.load();
    HRESULT result = S_OK;
    for (auto& filter : members()) {
        FILTER_STATE filterState{};
        const HRESULT hr = filter->GetState(static_cast<DWORD>(msTimeout), &filterState);
        if (FAILED(hr))
            return hr;
        if (hr == VFW_S_STATE_INTERMEDIATE)
            result = hr;
        else if (hr == VFW_S_CANT_CUE && result == S_OK)
            result = hr;
    }
    return result;
}

template <class Call> HRESULT FilterGraph::forwardSeeking(Call call) {
    for (auto& filter : downstreamFirst()) {
        ComPtr<IMediaSeeking> seeking;
        if (SUCCEEDED(filter.As(&seeking)) && seeking)
            return call(seeking.Get());
    }
    return E_NOTIMPL;
}

HRESULT FilterGraph::GetCapabilities(DWORD* c) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetCapabilities(c); });
}
HRESULT FilterGraph::CheckCapabilities(DWORD* c) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->CheckCapabilities(c); });
}
HRESULT FilterGraph::IsFormatSupported(const GUID* f) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->IsFormatSupported(f); });
}
HRESULT FilterGraph::QueryPreferredFormat(GUID* f) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->QueryPreferredFormat(f); });
}
HRESULT FilterGraph::GetTimeFormat(GUID* f) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetTimeFormat(f); });
}
HRESULT FilterGraph::IsUsingTimeFormat(const GUID* f) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->IsUsingTimeFormat(f); });
}
HRESULT FilterGraph::SetTimeFormat(const GUID* f) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->SetTimeFormat(f); });
}
HRESULT FilterGraph::GetDuration(LONGLONG* d) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetDuration(d); });
}
HRESULT FilterGraph::GetStopPosition(LONGLONG* p) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetStopPosition(p); });
}
HRESULT FilterGraph::GetCurrentPosition(LONGLONG* p) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetCurrentPosition(p); });
}
HRESULT FilterGraph::ConvertTimeFormat(LONGLONG* t, const GUID* tf, LONGLONG v, const GUID* sf) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->ConvertTimeFormat(t, tf, v, sf); });
}
// Positions change while the graph is stopped: a paused or running graph stops around the
// seek and returns to its state, which cues (paused) or plays on from (running) the new
// position.
HRESULT FilterGraph::SetPositions(LONGLONG* c, DWORD cf, LONGLONG* e, DWORD ef) {
    if (StreamGate::onStreamingThread())
        return VFW_E_WRONG_STATE;
    const FILTER_STATE was = state_.load();
    if (was != State_Stopped)
        changeState(State_Stopped);
    const HRESULT hr =
        forwardSeeking([&](IMediaSeeking* s) { return s->SetPositions(c, cf, e, ef); });
    if (was != State_Stopped)
        changeState(was);
    return hr;
}
HRESULT FilterGraph::GetPositions(LONGLONG* c, LONGLONG* e) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetPositions(c, e); });
}
HRESULT FilterGraph::GetAvailable(LONGLONG* a, LONGLONG* b) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetAvailable(a, b); });
}
HRESULT FilterGraph::SetRate(double r) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->SetRate(r); });
}
HRESULT FilterGraph::GetRate(double* r) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetRate(r); });
}
HRESULT FilterGraph::GetPreroll(LONGLONG* p) {
    return forwardSeeking([&](IMediaSeeking* s) { return s->GetPreroll(p); });
}

namespace {
const ClassRegistration registration{CLSID_FilterGraph, createInstance<FilterGraph>};
} // namespace

} // namespace platform::media

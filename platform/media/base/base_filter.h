// BaseFilter: IBaseFilter's state machine, pin enumeration and graph membership; concrete
// filters list their pins and answer the negotiation and streaming hooks.
#pragma once

#include "media/base/stream_gate.h"

#include <platform/com_object.h>
#include <platform/media/filter_interfaces.h>

#include <atomic>
#include <mutex>
#include <string>

namespace platform::media {

class BasePin;
class InputPin;
class MediaType;
class OutputPin;

// Two locks: the state lock serialises state changes and connection changes and is never
// held while a streaming thread needs it; the streaming gate counts streaming threads inside
// the filter. Stop: refuse new samples, wake waiters (decommit pools), drain, then free.
class BaseFilter : public ComObject<IBaseFilter> {
public:
    HRESULT GetClassID(CLSID* classId) override;
    // Control threads. Returns after every streaming thread has left this filter.
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD milliSecsTimeout, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;
    HRESULT EnumPins(IEnumPins** pins) override;
    HRESULT FindPin(LPCWSTR id, IPin** pin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT QueryVendorInfo(LPWSTR* vendorInfo) override;

    FILTER_STATE state() const { return state_.load(std::memory_order_acquire); }
    StreamGate& gate() { return gate_; }
    std::mutex& stateLock() { return stateLock_; }

    // Negotiation hooks, answered per pin; run on the thread that connects, no lock held.
    virtual HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) = 0;
    // The position-th preferred type of a pin; VFW_S_NO_MORE_ITEMS past the end.
    virtual HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt);
    // Before types are tried (e.g. an output that needs its input connected first).
    virtual HRESULT checkConnect(const BasePin& pin, IPin* peer);
    // After a type is agreed on a pin (the pin's mediaType() is set).
    virtual HRESULT completeConnect(BasePin& pin);
    virtual void breakConnect(BasePin& pin);
    // Output pins with a pool of their own: buffers needed for the agreed type.
    virtual HRESULT decideBufferSize(OutputPin& pin, ALLOCATOR_PROPERTIES& props);
    // Streaming thread, inside the gate: one sample arrived on an input pin.
    virtual HRESULT receive(InputPin& pin, IMediaSample* sample);
    // A pin's interfaces beyond IPin (a capture pin's stream configuration and category),
    // answered by its filter: stores an AddRef'd pointer, or E_NOINTERFACE.
    virtual HRESULT queryPinInterface(BasePin& pin, REFIID riid, void** object);
    virtual HRESULT endOfStream(InputPin& pin);

protected:
    explicit BaseFilter(REFCLSID clsid);

    virtual int pinCount() = 0;
    virtual BasePin* pin(int index) = 0;

    // State hooks, run with the state lock held.
    virtual HRESULT onActivate() { return S_OK; } // Stopped -> Paused, before samples flow
    virtual void onRunning() {}                   // -> Running
    virtual void onPaused() {}                    // Running -> Paused
    virtual void onStopping() {}                  // ask the filter's own threads to end
    virtual void onStopped() {}                   // streaming has left: join threads

    REFERENCE_TIME streamStart() const { return start_; }

    HRESULT queryOther(REFIID riid, void** object) override;

private:
    HRESULT activate();

    const CLSID clsid_;
    std::mutex stateLock_;
    std::atomic<FILTER_STATE> state_{State_Stopped};
    StreamGate gate_;
    IFilterGraph* graph_ = nullptr; // not counted: the graph owns its filters
    std::u16string name_;
    ComPtr<IReferenceClock> clock_;
    REFERENCE_TIME start_ = 0;
};

// Forwards IUnknown of an extra interface to the filter's own.
#define PLATFORM_FORWARD_IUNKNOWN(Base)                                                            \
    HRESULT QueryInterface(REFIID riid, void** object) override {                                  \
        return Base::QueryInterface(riid, object);                                                 \
    }                                                                                              \
    ULONG AddRef() override {                                                                      \
        return Base::AddRef();                                                                     \
    }                                                                                              \
    ULONG Release() override {                                                                     \
        return Base::Release();                                                                    \
    }

} // namespace platform::media

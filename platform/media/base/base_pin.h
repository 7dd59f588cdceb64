// BasePin: the IPin connection protocol shared by input and output pins; the owning filter
// answers the negotiation hooks.
#pragma once

#include "media/base/media_type.h"

#include <platform/com_ptr.h>
#include <platform/media/filter_interfaces.h>

#include <mutex>
#include <string>

namespace platform::media {

class BaseFilter;

// A pin lives inside its filter and shares its reference count. Connection state changes only
// while the filter is stopped, under the filter's state lock; streaming threads read it
// without a lock, which is safe because it cannot change while they run.
class BasePin : public IPin {
public:
    BasePin(BaseFilter& filter, PIN_DIRECTION direction, std::u16string name);
    BasePin(const BasePin&) = delete;
    BasePin& operator=(const BasePin&) = delete;
    virtual ~BasePin() = default;

    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // Output side of the protocol: try the given type, or the receiver's then our own types.
    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) override;
    // Input side: accept a type the connector proposes.
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override;
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mt) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* direction) override;
    HRESULT QueryId(LPWSTR* id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* mt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT QueryInternalConnections(IPin** pins, ULONG* count) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    PIN_DIRECTION direction() const { return direction_; }
    const std::u16string& name() const { return name_; }
    bool isConnected() const { return connected_ != nullptr; }
    IPin* peer() const { return connected_.Get(); }
    // The agreed type; valid while connected.
    const MediaType& mediaType() const { return mt_; }

    // Called by the filter with its state lock held.
    virtual HRESULT active() { return S_OK; }
    // Wakes whatever this pin's streaming may be waiting on (a full pool).
    virtual void beginInactive() {}

protected:
    // Hooks for the direction-specific pins, run without the state lock.
    virtual HRESULT completeConnect(IPin* peer);
    virtual void breakConnect() {}

    BaseFilter& filter_;

private:
    HRESULT tryType(IPin* receivePin, const AM_MEDIA_TYPE& mt);
    HRESULT tryTypesOf(IPin* source, IPin* receivePin, const AM_MEDIA_TYPE* partial);
    // Reserves the pin for one connection attempt; false when connected or busy.
    HRESULT beginConnecting();
    void setConnection(IPin* peer, const AM_MEDIA_TYPE& mt);
    // The state lock for reading the connection, unless this thread is inside the filter.
    std::unique_lock<std::mutex> connectionLock() const;

    const PIN_DIRECTION direction_;
    const std::u16string name_;
    ComPtr<IPin> connected_;
    MediaType mt_;
    bool connecting_ = false;
};

} // namespace platform::media

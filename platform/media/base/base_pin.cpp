// BasePin: connecting, disconnecting and describing a pin.
#include "media/base/base_pin.h"

#include "media/base/base_filter.h"
#include "media/base/enumerator.h"

#include <algorithm>
#include <cstring>

namespace platform::media {

BasePin::BasePin(BaseFilter& filter, PIN_DIRECTION direction, std::u16string name)
    : filter_(filter), direction_(direction), name_(std::move(name)) {}

HRESULT BasePin::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPin) {
        *object = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return filter_.queryPinInterface(*this, riid, object);
}

ULONG BasePin::AddRef() {
    return filter_.AddRef();
}
ULONG BasePin::Release() {
    return filter_.Release();
}

HRESULT BasePin::beginConnecting() {
    std::lock_guard lock(filter_.stateLock());
    if (connected_ || connecting_)
        return VFW_E_ALREADY_CONNECTED;
    if (filter_.state() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    connecting_ = true;
    return S_OK;
}

void BasePin::setConnection(IPin* peer, const AM_MEDIA_TYPE& mt) {
    std::lock_guard lock(filter_.stateLock());
    connecting_ = false;
    if (peer) {
        connected_ = peer;
        mt_ = MediaType(mt);
    }
}

HRESULT BasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* mt) {
    if (!receivePin)
        return E_POINTER;
    if (direction_ != PINDIR_OUTPUT)
        return E_UNEXPECTED;
    PIN_DIRECTION peerDirection{};
    if (FAILED(receivePin->QueryDirection(&peerDirection)) || peerDirection != PINDIR_INPUT)
        return VFW_E_INVALID_DIRECTION;
    if (HRESULT hr = beginConnecting(); FAILED(hr))
        return hr;
    HRESULT hr = filter_.checkConnect(*this, receivePin);
    if (SUCCEEDED(hr)) {
        if (mt && isFullySpecified(*mt))
            hr = tryType(receivePin, *mt);
        else if (hr = tryTypesOf(receivePin, receivePin, mt); FAILED(hr))
            hr = tryTypesOf(this, receivePin, mt);
    }
    if (FAILED(hr))
        setConnection(nullptr, AM_MEDIA_TYPE{});
    return hr;
}

// Tries each type `source` enumerates that fits the partial type.
HRESULT BasePin::tryTypesOf(IPin* source, IPin* receivePin, const AM_MEDIA_TYPE* partial) {
    ComPtr<IEnumMediaTypes> types;
    if (FAILED(source->EnumMediaTypes(types.GetAddressOf())) || !types)
        return VFW_E_NO_ACCEPTABLE_TYPES;
    AM_MEDIA_TYPE* candidate = nullptr;
    while (types->Next(1, &candidate, nullptr) == S_OK) {
        const bool fits = !partial || matchesPartial(*partial, *candidate);
        const HRESULT hr = fits ? tryType(receivePin, *candidate) : VFW_E_TYPE_NOT_ACCEPTED;
        deleteMediaType(candidate);
        if (SUCCEEDED(hr))
            return hr;
        // A failure after the peer accepted the type is not a matter of types: give up.
        if (hr != VFW_E_TYPE_NOT_ACCEPTED && hr != S_FALSE)
            return hr;
    }
    return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT BasePin::tryType(IPin* receivePin, const AM_MEDIA_TYPE& mt) {
    if (filter_.checkMediaType(*this, mt) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    HRESULT hr = receivePin->ReceiveConnection(this, &mt);
    if (hr != S_OK)
        return FAILED(hr) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    setConnection(receivePin, mt);
    hr = completeConnect(receivePin);
    if (FAILED(hr)) {
        receivePin->Disconnect();
        {
            std::lock_guard lock(filter_.stateLock());
            connected_ = nullptr;
            mt_.clear();
            connecting_ = true; // still inside this attempt
        }
        breakConnect();
        filter_.breakConnect(*this);
    }
    return hr;
}

HRESULT BasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) {
    if (!connector || !mt)
        return E_POINTER;
    if (direction_ != PINDIR_INPUT)
        return E_UNEXPECTED;
    PIN_DIRECTION peerDirection{};
    if (FAILED(connector->QueryDirection(&peerDirection)) || peerDirection != PINDIR_OUTPUT)
        return VFW_E_INVALID_DIRECTION;
    if (HRESULT hr = beginConnecting(); FAILED(hr))
        return hr;
    HRESULT hr = filter_.checkConnect(*this, connector);
    if (SUCCEEDED(hr) && filter_.checkMediaType(*this, *mt) != S_OK)
        hr = VFW_E_TYPE_NOT_ACCEPTED;
    if (FAILED(hr)) {
        setConnection(nullptr, AM_MEDIA_TYPE{});
        return hr;
    }
    setConnection(connector, *mt);
    if (hr = completeConnect(connector); FAILED(hr)) {
        Disconnect();
        return hr;
    }
    return S_OK;
}

HRESULT BasePin::completeConnect(IPin*) {
    return filter_.completeConnect(*this);
}

HRESULT BasePin::Disconnect() {
    {
        std::lock_guard lock(filter_.stateLock());
        if (filter_.state() != State_Stopped)
            return VFW_E_NOT_STOPPED;
        if (!connected_)
            return S_FALSE;
    }
    breakConnect();
    filter_.breakConnect(*this);
    ComPtr<IPin> peer; // released outside the lock: it may be the last hold on a filter
    {
        std::lock_guard lock(filter_.stateLock());
        peer = std::move(connected_);
        mt_.clear();
    }
    return S_OK;
}

// A streaming thread inside this filter (a grabber callback asking for its connected type)
// reads the connection without the state lock: Stop holds that lock while it waits for such
// threads to leave, and no connection changes while any thread is inside the filter.
std::unique_lock<std::mutex> BasePin::connectionLock() const {
    std::unique_lock lock(filter_.stateLock(), std::defer_lock);
    if (!filter_.gate().enteredByThisThread())
        lock.lock();
    return lock;
}

HRESULT BasePin::ConnectedTo(IPin** pin) {
    if (!pin)
        return E_POINTER;
    const auto lock = connectionLock();
    *pin = nullptr;
    if (!connected_)
        return VFW_E_NOT_CONNECTED;
    return connected_.CopyTo(pin);
}

HRESULT BasePin::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return E_POINTER;
    const auto lock = connectionLock();
    *mt = AM_MEDIA_TYPE{};
    if (!connected_)
        return VFW_E_NOT_CONNECTED;
    return copyMediaType(*mt, mt_.get());
}

HRESULT BasePin::QueryPinInfo(PIN_INFO* info) {
    if (!info)
        return E_POINTER;
    *info = PIN_INFO{};
    info->pFilter = &filter_;
    filter_.AddRef();
    info->dir = direction_;
    const size_t length = std::min<size_t>(name_.size(), MAX_PIN_NAME - 1);
    std::copy_n(name_.data(), length, info->achName);
    return S_OK;
}

HRESULT BasePin::QueryDirection(PIN_DIRECTION* direction) {
    if (!direction)
        return E_POINTER;
    *direction = direction_;
    return S_OK;
}

HRESULT BasePin::QueryId(LPWSTR* id) {
    if (!id)
        return E_POINTER;
    const size_t bytes = (name_.size() + 1) * sizeof(WCHAR);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*id)
        return E_OUTOFMEMORY;
    std::memcpy(*id, name_.c_str(), bytes);
    return S_OK;
}

HRESULT BasePin::QueryAccept(const AM_MEDIA_TYPE* mt) {
    if (!mt)
        return E_POINTER;
    return filter_.checkMediaType(*this, *mt) == S_OK ? S_OK : S_FALSE;
}

HRESULT BasePin::EnumMediaTypes(IEnumMediaTypes** types) {
    if (!types)
        return E_POINTER;
    std::vector<MediaType> list;
    for (int i = 0;; ++i) {
        MediaType mt;
        if (filter_.getMediaType(*this, i, mt) != S_OK)
            break;
        list.push_back(std::move(mt));
    }
    *types = makeCom<MediaTypeEnumerator>(std::move(list)).Detach();
    return S_OK;
}

HRESULT BasePin::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}
HRESULT BasePin::EndOfStream() {
    return E_UNEXPECTED;
}
HRESULT BasePin::BeginFlush() {
    return E_UNEXPECTED;
}
HRESULT BasePin::EndFlush() {
    return E_UNEXPECTED;
}
HRESULT BasePin::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) {
    return S_OK;
}

} // namespace platform::media

// InputPin: sample reception through the filter's streaming gate.
#include "media/base/input_pin.h"

#include "media/base/base_filter.h"

namespace platform::media {

InputPin::InputPin(BaseFilter& filter, std::u16string name)
    : BasePin(filter, PINDIR_INPUT, std::move(name)) {}

HRESULT InputPin::QueryInterface(REFIID riid, void** object) {
    if (object && riid == IID_IMemInputPin) {
        *object = static_cast<IMemInputPin*>(this);
        AddRef();
        return S_OK;
    }
    return BasePin::QueryInterface(riid, object);
}

HRESULT InputPin::checkPassedOnType(const AM_MEDIA_TYPE& mt) const {
    if (!isConnected())
        return VFW_E_NOT_CONNECTED;
    const AM_MEDIA_TYPE& in = mediaType().get();
    return in.majortype == mt.majortype && in.subtype == mt.subtype &&
                   in.formattype == mt.formattype
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT InputPin::passedOnType(int position, MediaType& mt) const {
    if (position != 0 || !isConnected())
        return VFW_S_NO_MORE_ITEMS;
    mt = mediaType();
    return S_OK;
}

HRESULT InputPin::GetAllocator(IMemAllocator** allocator) {
    if (!allocator)
        return E_POINTER;
    *allocator = nullptr;
    return VFW_E_NO_ALLOCATOR;
}

HRESULT InputPin::NotifyAllocator(IMemAllocator* allocator, BOOL) {
    if (!allocator)
        return E_POINTER;
    std::lock_guard lock(filter_.stateLock());
    allocator_ = allocator;
    return S_OK;
}

HRESULT InputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) {
    return E_NOTIMPL;
}

// Runs on the upstream filter's streaming thread.
HRESULT InputPin::Receive(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    StreamGate::Entry entry(filter_.gate());
    if (!entry)
        return VFW_E_WRONG_STATE;
    if (flushing_.load(std::memory_order_acquire))
        return S_FALSE;
    return filter_.receive(*this, sample);
}

HRESULT InputPin::ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) {
    if (!samples || !processed)
        return E_POINTER;
    *processed = 0;
    HRESULT hr = S_OK;
    while (*processed < count && (hr = Receive(samples[*processed])) == S_OK)
        ++*processed;
    return hr;
}

HRESULT InputPin::EndOfStream() {
    StreamGate::Entry entry(filter_.gate());
    if (!entry)
        return VFW_E_WRONG_STATE;
    return filter_.endOfStream(*this);
}

// Control thread: samples that arrive while flushing are dropped.
HRESULT InputPin::BeginFlush() {
    flushing_.store(true, std::memory_order_release);
    return S_OK;
}

HRESULT InputPin::EndFlush() {
    flushing_.store(false, std::memory_order_release);
    return S_OK;
}

void InputPin::breakConnect() {
    std::lock_guard lock(filter_.stateLock());
    allocator_ = nullptr;
}

} // namespace platform::media

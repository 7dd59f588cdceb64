// OutputPin: allocator choice at connection and synchronous delivery downstream.
#include "media/base/output_pin.h"

#include "media/base/base_filter.h"
#include "media/base/input_pin.h"
#include "media/base/mem_allocator.h"

namespace platform::media {

OutputPin::OutputPin(BaseFilter& filter, std::u16string name, Buffers buffers)
    : BasePin(filter, PINDIR_OUTPUT, std::move(name)), buffers_(buffers) {}

// Connecting thread. The input was offered its chance to name a pool (ours never do); the
// output then makes its own, sized by the filter, and tells the input which one it is.
HRESULT OutputPin::completeConnect(IPin* peer) {
    ComPtr<IMemInputPin> input;
    if (FAILED(
            peer->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(input.GetAddressOf()))))
        return VFW_E_NO_TRANSPORT;
    ComPtr<IMemAllocator> allocator;
    if (buffers_ == Buffers::OwnPool) {
        if (FAILED(input->GetAllocator(allocator.GetAddressOf())) || !allocator)
            allocator = makeCom<MemAllocator>();
        ALLOCATOR_PROPERTIES request{}, actual{};
        if (HRESULT hr = filter_.decideBufferSize(*this, request); FAILED(hr))
            return hr;
        if (HRESULT hr = allocator->SetProperties(&request, &actual); FAILED(hr))
            return hr;
        if (actual.cbBuffer < request.cbBuffer || actual.cBuffers < 1)
            return E_FAIL;
        if (HRESULT hr = input->NotifyAllocator(allocator.Get(), FALSE); FAILED(hr))
            return hr;
    }
    {
        std::lock_guard lock(filter_.stateLock());
        input_ = input;
        allocator_ = allocator;
    }
    return BasePin::completeConnect(peer);
}

void OutputPin::breakConnect() {
    std::lock_guard lock(filter_.stateLock());
    input_ = nullptr;
    allocator_ = nullptr;
}

HRESULT OutputPin::active() {
    return allocator_ ? allocator_->Commit() : S_OK;
}

void OutputPin::beginInactive() {
    if (allocator_)
        allocator_->Decommit();
}

// Streaming thread.
HRESULT OutputPin::getDeliveryBuffer(IMediaSample** sample) {
    if (!allocator_)
        return VFW_E_NO_ALLOCATOR;
    return allocator_->GetBuffer(sample, nullptr, nullptr, 0);
}

// Streaming thread: the downstream filter runs on this thread until Receive returns.
HRESULT OutputPin::deliver(IMediaSample* sample) {
    if (!input_)
        return VFW_E_NOT_CONNECTED;
    return input_->Receive(sample);
}

HRESULT OutputPin::deliverEndOfStream() {
    IPin* peerPin = peer();
    return peerPin ? peerPin->EndOfStream() : VFW_E_NOT_CONNECTED;
}

} // namespace platform::media

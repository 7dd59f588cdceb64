// InputPin: an input pin taking samples through IMemInputPin; the filter's receive hook
// handles each one on the caller's streaming thread.
#pragma once

#include "media/base/base_pin.h"

#include <atomic>

namespace platform::media {

class InputPin final : public BasePin, public IMemInputPin {
public:
    InputPin(BaseFilter& filter, std::u16string name);

    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override { return BasePin::AddRef(); }
    ULONG Release() override { return BasePin::Release(); }

    // The upstream pin makes its own pool: this pin offers none.
    HRESULT GetAllocator(IMemAllocator** allocator) override;
    HRESULT NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    // Upstream streaming thread. Refused with VFW_E_WRONG_STATE once the filter is stopping;
    // S_FALSE while flushing.
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveMultiple(IMediaSample** samples, LONG count, LONG* processed) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }

    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;

    // The pool upstream fills, when it said which (pass-through outputs hand it on).
    IMemAllocator* upstreamAllocator() const { return allocator_.Get(); }

    // For an output that passes this input's samples on unchanged: whether downstream's `mt`
    // is this input's type (major type, subtype, format type), and the one type to offer.
    HRESULT checkPassedOnType(const AM_MEDIA_TYPE& mt) const;
    HRESULT passedOnType(int position, MediaType& mt) const;

protected:
    void breakConnect() override;

private:
    ComPtr<IMemAllocator> allocator_;
    std::atomic<bool> flushing_{false};
};

} // namespace platform::media

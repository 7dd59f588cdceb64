// OutputPin: an output pin that delivers samples to the connected input pin, from a pool of
// its own or, for pass-through filters, the samples it was given.
#pragma once

#include "media/base/base_pin.h"

namespace platform::media {

class OutputPin final : public BasePin {
public:
    enum class Buffers { OwnPool, PassThrough };
    OutputPin(BaseFilter& filter, std::u16string name, Buffers buffers);

    // Streaming thread: a free sample from this pin's pool; blocks while the pool is empty,
    // fails with VFW_E_NOT_COMMITTED once the filter stops.
    HRESULT getDeliveryBuffer(IMediaSample** sample);
    // Streaming thread: hands the sample to the connected input, synchronously, no lock held.
    // VFW_E_NOT_CONNECTED when unconnected.
    HRESULT deliver(IMediaSample* sample);

    HRESULT active() override;
    void beginInactive() override;
    // Helpers for the filter: pass an event on downstream (no lock held).
    HRESULT deliverEndOfStream();

protected:
    HRESULT completeConnect(IPin* peer) override;
    void breakConnect() override;

private:
    const Buffers buffers_;
    ComPtr<IMemInputPin> input_;
    ComPtr<IMemAllocator> allocator_;
};

} // namespace platform::media

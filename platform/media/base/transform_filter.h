// TransformFilter: one input, one output with its own pool; each input sample is transformed
// into a new output sample on the upstream streaming thread.
#pragma once

#include "media/base/base_filter.h"
#include "media/base/input_pin.h"
#include "media/base/output_pin.h"

namespace platform::media {

class TransformFilter : public BaseFilter {
public:
    InputPin& input() { return input_; }
    OutputPin& output() { return output_; }

protected:
    explicit TransformFilter(REFCLSID clsid);

    // Hooks a concrete transform fills in.
    virtual HRESULT checkInputType(const AM_MEDIA_TYPE& mt) = 0;
    virtual HRESULT checkTransform(const AM_MEDIA_TYPE& in, const AM_MEDIA_TYPE& out) = 0;
    // The position-th output type for the connected input type.
    virtual HRESULT getOutputType(int position, MediaType& mt) = 0;
    virtual HRESULT decideOutputBuffers(ALLOCATOR_PROPERTIES& props) = 0;
    // Both types agreed (connecting thread, filter stopped): prepare per-connection state.
    virtual HRESULT onTypesAgreed() { return S_OK; }
    // Streaming thread. S_OK delivers `out`; S_FALSE drops this sample quietly.
    virtual HRESULT transform(IMediaSample& in, IMediaSample& out) = 0;

    int pinCount() override { return 2; }
    BasePin* pin(int index) override;

    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override;
    HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt) override;
    HRESULT checkConnect(const BasePin& pin, IPin* peer) override;
    HRESULT completeConnect(BasePin& pin) override;
    HRESULT decideBufferSize(OutputPin& pin, ALLOCATOR_PROPERTIES& props) override;
    HRESULT receive(InputPin& pin, IMediaSample* sample) override;
    HRESULT endOfStream(InputPin& pin) override;

private:
    InputPin input_;
    OutputPin output_;
};

} // namespace platform::media

// RendererFilter: a sink with one input pin; each sample ends in the render hook.
#pragma once

#include "media/base/base_filter.h"
#include "media/base/input_pin.h"

namespace platform::media {

class RendererFilter : public BaseFilter {
public:
    InputPin& input() { return input_; }

protected:
    explicit RendererFilter(REFCLSID clsid);

    virtual HRESULT checkInputType(const AM_MEDIA_TYPE& mt) = 0;
    // Upstream streaming thread, inside the gate.
    virtual HRESULT render(IMediaSample& sample) = 0;

    int pinCount() override { return 1; }
    BasePin* pin(int) override { return &input_; }
    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override;
    HRESULT receive(InputPin& pin, IMediaSample* sample) override;

private:
    InputPin input_;
};

} // namespace platform::media

// SmartTee (CLSID_SmartTee): one input, a capture and a preview output; every sample goes to
// the capture output, then to the preview output, unchanged.
#include "media/base/base_filter.h"
#include "media/base/input_pin.h"
#include "media/base/media_type.h"
#include "media/base/output_pin.h"

#include <platform/com_registry.h>
#include <platform/media/filter_classes.h>

namespace platform::media {

namespace {

class SmartTee final : public BaseFilter {
public:
    SmartTee()
        : BaseFilter(CLSID_SmartTee), input_(*this, u"Input"),
          capture_(*this, u"Capture", OutputPin::Buffers::PassThrough),
          preview_(*this, u"Preview", OutputPin::Buffers::PassThrough) {}

protected:
    int pinCount() override { return 3; }
    BasePin* pin(int index) override {
        BasePin* pins[] = {&input_, &capture_, &preview_};
        return pins[index];
    }

    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override {
        if (&pin == &input_)
            return S_OK;
        return input_.checkPassedOnType(mt);
    }
    HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt) override {
        return &pin == &input_ ? VFW_S_NO_MORE_ITEMS : input_.passedOnType(position, mt);
    }
    HRESULT checkConnect(const BasePin& pin, IPin*) override {
        return &pin != &input_ && !input_.isConnected() ? VFW_E_NOT_CONNECTED : S_OK;
    }

    // Upstream streaming thread. Both outputs share the sample read-only; a refusal on one
    // output does not starve the other.
    HRESULT receive(InputPin&, IMediaSample* sample) override {
        if (!capture_.isConnected() && !preview_.isConnected())
            return S_OK;
        const HRESULT capture = capture_.isConnected() ? capture_.deliver(sample) : S_FALSE;
        const HRESULT preview = preview_.isConnected() ? preview_.deliver(sample) : S_FALSE;
        if (capture == S_OK || preview == S_OK)
            return S_OK;
        return capture_.isConnected() ? capture : preview;
    }
    HRESULT endOfStream(InputPin&) override {
        if (capture_.isConnected())
            capture_.deliverEndOfStream();
        if (preview_.isConnected())
            preview_.deliverEndOfStream();
        return S_OK;
    }

private:
    ~SmartTee() override = default;

    InputPin input_;
    OutputPin capture_;
    OutputPin preview_;
};

const ClassRegistration registration{CLSID_SmartTee, createInstance<SmartTee>};

} // namespace

} // namespace platform::media

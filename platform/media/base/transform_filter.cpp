// TransformFilter: negotiation through the input's type and copy-transform streaming.
#include "media/base/transform_filter.h"

namespace platform::media {

TransformFilter::TransformFilter(REFCLSID clsid)
    : BaseFilter(clsid), input_(*this, u"XForm In"),
      output_(*this, u"XForm Out", OutputPin::Buffers::OwnPool) {}

BasePin* TransformFilter::pin(int index) {
    return index == 0 ? static_cast<BasePin*>(&input_) : &output_;
}

HRESULT TransformFilter::checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) {
    if (&pin == &input_)
        return checkInputType(mt);
    if (!input_.isConnected())
        return VFW_E_NOT_CONNECTED;
    return checkTransform(input_.mediaType().get(), mt);
}

HRESULT TransformFilter::getMediaType(const BasePin& pin, int position, MediaType& mt) {
    if (&pin == &input_ || !input_.isConnected())
        return VFW_S_NO_MORE_ITEMS;
    return getOutputType(position, mt);
}

// The output's types derive from the input's: the input connects first.
HRESULT TransformFilter::checkConnect(const BasePin& pin, IPin*) {
    return &pin == &output_ && !input_.isConnected() ? VFW_E_NOT_CONNECTED : S_OK;
}

HRESULT TransformFilter::completeConnect(BasePin& pin) {
    return &pin == &output_ ? onTypesAgreed() : S_OK;
}

HRESULT TransformFilter::decideBufferSize(OutputPin&, ALLOCATOR_PROPERTIES& props) {
    return decideOutputBuffers(props);
}

// Upstream streaming thread, inside this filter's gate; no lock held.
HRESULT TransformFilter::receive(InputPin&, IMediaSample* sample) {
    if (!output_.isConnected())
        return S_OK; // nobody downstream: the sample ends here
    IMediaSample* out = nullptr;
    if (HRESULT hr = output_.getDeliveryBuffer(&out); FAILED(hr))
        return hr; // stopping: the pool was decommitted
    REFERENCE_TIME start = 0, end = 0;
    if (SUCCEEDED(sample->GetTime(&start, &end)))
        out->SetTime(&start, &end);
    out->SetSyncPoint(sample->IsSyncPoint() == S_OK);
    out->SetPreroll(sample->IsPreroll() == S_OK);
    out->SetDiscontinuity(sample->IsDiscontinuity() == S_OK);
    HRESULT hr = transform(*sample, *out);
    if (hr == S_OK)
        hr = output_.deliver(out);
    else if (hr == S_FALSE)
        hr = S_OK;
    out->Release();
    return hr;
}

HRESULT TransformFilter::endOfStream(InputPin&) {
    return output_.isConnected() ? output_.deliverEndOfStream() : S_OK;
}

} // namespace platform::media

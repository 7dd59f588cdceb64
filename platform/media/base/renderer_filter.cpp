// RendererFilter: the sink end of a stream.
#include "media/base/renderer_filter.h"

namespace platform::media {

RendererFilter::RendererFilter(REFCLSID clsid) : BaseFilter(clsid), input_(*this, u"In") {}

HRESULT RendererFilter::checkMediaType(const BasePin&, const AM_MEDIA_TYPE& mt) {
    return checkInputType(mt);
}

HRESULT RendererFilter::receive(InputPin&, IMediaSample* sample) {
    return render(*sample);
}

} // namespace platform::media

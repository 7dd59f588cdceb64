// NullRenderer (CLSID_NullRenderer): takes any type and discards every sample.
#include "media/base/renderer_filter.h"

#include <platform/com_registry.h>
#include <platform/media/filter_classes.h>

namespace platform::media {

namespace {

class NullRenderer final : public RendererFilter {
public:
    NullRenderer() : RendererFilter(CLSID_NullRenderer) {}

protected:
    HRESULT checkInputType(const AM_MEDIA_TYPE&) override { return S_OK; }
    HRESULT render(IMediaSample&) override { return S_OK; }

private:
    ~NullRenderer() override = default;
};

const ClassRegistration registration{CLSID_NullRenderer, createInstance<NullRenderer>};

} // namespace

} // namespace platform::media

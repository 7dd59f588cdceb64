// ColourConverter (CLSID_Colour): YUY2, NV12, I420, Y800 (grey) and RGB pictures into bottom-up
// RGB24 or RGB32 DIB rows of the same size.
#include "media/base/transform_filter.h"
#include "media/filters/colour_converter/rgb_conversion.h"

#include <platform/com_registry.h>
#include <platform/media/filter_classes.h>

#include <vector>

namespace platform::media {

namespace {

class ColourConverter final : public TransformFilter {
public:
    ColourConverter() : TransformFilter(CLSID_Colour) {}

protected:
    HRESULT checkInputType(const AM_MEDIA_TYPE& mt) override {
        PictureLayout layout;
        return inputLayout(mt, layout) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }

    HRESULT checkTransform(const AM_MEDIA_TYPE& in, const AM_MEDIA_TYPE& out) override {
        PictureLayout layout;
        const MediaType outType(out);
        const VIDEOINFOHEADER* vih = outType.videoInfo();
        if (!inputLayout(in, layout) || !vih || out.majortype != MEDIATYPE_Video)
            return VFW_E_TYPE_NOT_ACCEPTED;
        const int bits = out.subtype == MEDIASUBTYPE_RGB24   ? 24
                         : out.subtype == MEDIASUBTYPE_RGB32 ? 32
                                                             : 0;
        const BITMAPINFOHEADER& h = vih->bmiHeader;
        // Output is always bottom-up, the DIB way, and exactly the input's size.
        if (!bits || h.biBitCount != bits || h.biWidth != layout.width ||
            h.biHeight != layout.height || (h.biCompression != BI_RGB))
            return VFW_E_TYPE_NOT_ACCEPTED;
        return S_OK;
    }

    HRESULT getOutputType(int position, MediaType& mt) override {
        return MediaType::rgbFor(input().mediaType().videoInfo(), position, mt)
                   ? S_OK
                   : VFW_S_NO_MORE_ITEMS;
    }

    HRESULT decideOutputBuffers(ALLOCATOR_PROPERTIES& props) override {
        const VIDEOINFOHEADER* out = output().mediaType().videoInfo();
        props.cBuffers = 2;
        props.cbBuffer = LONG(out->bmiHeader.biSizeImage);
        props.cbAlign = 1;
        return S_OK;
    }

    // Connecting thread, filter stopped.
    HRESULT onTypesAgreed() override {
        if (!inputLayout(input().mediaType().get(), in_))
            return VFW_E_TYPE_NOT_ACCEPTED;
        const BITMAPINFOHEADER& out = output().mediaType().videoInfo()->bmiHeader;
        outBits_ = out.biBitCount;
        outStride_ = dibStride(out.biWidth, outBits_);
        outSize_ = outStride_ * out.biHeight;
        band_.assign(size_t(in_.width) * 4 * kBandRows, 0);
        return S_OK;
    }

    // Upstream streaming thread: converts into the preallocated sample and band.
    HRESULT transform(IMediaSample& in, IMediaSample& out) override {
        BYTE* src = nullptr;
        BYTE* dst = nullptr;
        in.GetPointer(&src);
        out.GetPointer(&dst);
        // A sample shorter than the picture would be read past its end: drop it.
        if (in.GetActualDataLength() < in_.size || out.GetSize() < outSize_)
            return S_FALSE;
        if (!convertToRgb(in_, src, dst, outStride_, outBits_, band_.data()))
            return S_FALSE;
        out.SetActualDataLength(outSize_);
        return S_OK;
    }

private:
    ~ColourConverter() override = default;

    static bool inputLayout(const AM_MEDIA_TYPE& mt, PictureLayout& layout) {
        const MediaType type(mt);
        const VIDEOINFOHEADER* vih = type.videoInfo();
        return mt.majortype == MEDIATYPE_Video && vih &&
               layoutOf(mt.subtype, vih->bmiHeader, layout);
    }

    PictureLayout in_{};
    int outBits_ = 24;
    LONG outStride_ = 0;
    LONG outSize_ = 0;
    std::vector<BYTE> band_;
};

const ClassRegistration registration{CLSID_Colour, createInstance<ColourConverter>};

} // namespace

} // namespace platform::media

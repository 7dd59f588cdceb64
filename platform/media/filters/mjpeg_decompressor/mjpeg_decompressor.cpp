// MjpegDecompressor (CLSID_MjpegDec): motion-JPEG pictures straight into bottom-up BGR rows
// (RGB24 or RGB32) with libturbojpeg.
#include "media/base/transform_filter.h"

#include <platform/com_registry.h>
#include <platform/media/filter_classes.h>

#include <turbojpeg.h>

#include <memory>

namespace platform::media {

namespace {

// Larger than any camera picture: bounds the output's stride and size arithmetic, which a
// wider or taller type would overflow into a buffer smaller than the decoder writes.
constexpr LONG kMaxSide = 16384;

struct TjDestroy {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDestroy>;

class MjpegDecompressor final : public TransformFilter {
public:
    MjpegDecompressor() : TransformFilter(CLSID_MjpegDec) {}

protected:
    HRESULT checkInputType(const AM_MEDIA_TYPE& mt) override {
        const MediaType type(mt);
        const VIDEOINFOHEADER* vih = type.videoInfo();
        return mt.majortype == MEDIATYPE_Video && mt.subtype == MEDIASUBTYPE_MJPG && vih &&
                       vih->bmiHeader.biWidth > 0 && vih->bmiHeader.biWidth <= kMaxSide &&
                       vih->bmiHeader.biHeight != 0 && vih->bmiHeader.biHeight >= -kMaxSide &&
                       vih->bmiHeader.biHeight <= kMaxSide
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }

    HRESULT checkTransform(const AM_MEDIA_TYPE& in, const AM_MEDIA_TYPE& out) override {
        const MediaType inType(in), outType(out);
        const VIDEOINFOHEADER* src = inType.videoInfo();
        const VIDEOINFOHEADER* dst = outType.videoInfo();
        if (!src || !dst || out.majortype != MEDIATYPE_Video)
            return VFW_E_TYPE_NOT_ACCEPTED;
        const int bits = out.subtype == MEDIASUBTYPE_RGB24   ? 24
                         : out.subtype == MEDIASUBTYPE_RGB32 ? 32
                                                             : 0;
        const LONG height =
            src->bmiHeader.biHeight < 0 ? -src->bmiHeader.biHeight : src->bmiHeader.biHeight;
        return bits && dst->bmiHeader.biBitCount == bits &&
                       dst->bmiHeader.biWidth == src->bmiHeader.biWidth &&
                       dst->bmiHeader.biHeight == height
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }

    HRESULT getOutputType(int position, MediaType& mt) override {
        return MediaType::rgbFor(input().mediaType().videoInfo(), position, mt)
                   ? S_OK
                   : VFW_S_NO_MORE_ITEMS;
    }

    HRESULT decideOutputBuffers(ALLOCATOR_PROPERTIES& props) override {
        props.cBuffers = 2;
        props.cbBuffer = LONG(output().mediaType().videoInfo()->bmiHeader.biSizeImage);
        props.cbAlign = 1;
        return S_OK;
    }

    // Connecting thread, filter stopped: one decoder per connection.
    HRESULT onTypesAgreed() override {
        const BITMAPINFOHEADER& out = output().mediaType().videoInfo()->bmiHeader;
        width_ = out.biWidth;
        height_ = out.biHeight;
        bits_ = out.biBitCount;
        stride_ = dibStride(width_, bits_);
        if (!decoder_)
            decoder_.reset(tjInitDecompress());
        return decoder_ ? S_OK : E_OUTOFMEMORY;
    }

    // Upstream streaming thread. A picture that is not a JPEG of the connected size is dropped.
    HRESULT transform(IMediaSample& in, IMediaSample& out) override {
        BYTE* src = nullptr;
        BYTE* dst = nullptr;
        in.GetPointer(&src);
        out.GetPointer(&dst);
        const LONG length = in.GetActualDataLength();
        int width = 0, height = 0, subsampling = 0, colourspace = 0;
        if (length <= 0 || out.GetSize() < stride_ * height_ ||
            tjDecompressHeader3(decoder_.get(), src, static_cast<unsigned long>(length), &width,
                                &height, &subsampling, &colourspace) != 0 ||
            width != width_ || height != height_)
            return S_FALSE;
        const int format = bits_ == 24 ? TJPF_BGR : TJPF_BGRX;
        // A warning (a damaged but decodable picture) still gives a whole picture.
        if (tjDecompress2(decoder_.get(), src, static_cast<unsigned long>(length), dst, width_,
                          stride_, height_, format, TJFLAG_BOTTOMUP) != 0 &&
            tjGetErrorCode(decoder_.get()) != TJERR_WARNING)
            return S_FALSE;
        out.SetActualDataLength(stride_ * height_);
        return S_OK;
    }

private:
    ~MjpegDecompressor() override = default;

    TjHandle decoder_;
    LONG width_ = 0, height_ = 0, stride_ = 0;
    int bits_ = 24;
};

const ClassRegistration registration{CLSID_MjpegDec, createInstance<MjpegDecompressor>};

} // namespace

} // namespace platform::media

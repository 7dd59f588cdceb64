// VideoCompressor: an FFmpeg encoder as a transform filter, from uncompressed RGB or YUV
// pictures to the encoder's stream, one packet per picture.
#include "media/base/transform_filter.h"
#include "media/codecs/av_media.h"
#include "media/codecs/compressors.h"

#include <platform/media/file_interfaces.h>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>

namespace platform::media {

namespace {

class VideoCompressor final : public TransformFilter {
public:
    explicit VideoCompressor(const CompressorSpec& spec)
        : TransformFilter(CLSID_VideoCompressor), spec_(spec),
          codec_(av::lib().avcodec_find_encoder_by_name(spec.encoder)) {}

protected:
    HRESULT checkInputType(const AM_MEDIA_TYPE& mt) override {
        av::RawFormat raw;
        const MediaType type(mt);
        if (!codec_ || !av::rawFormatOf(mt, raw))
            return VFW_E_TYPE_NOT_ACCEPTED;
        const BITMAPINFOHEADER& h = type.videoInfo()->bmiHeader;
        const LONG height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
        return h.biWidth > 0 && h.biWidth <= 16384 && height > 0 && height <= 16384
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }

    HRESULT checkTransform(const AM_MEDIA_TYPE& in, const AM_MEDIA_TYPE& out) override {
        MediaType expected;
        if (getOutputType(0, expected) != S_OK || in.majortype != MEDIATYPE_Video)
            return VFW_E_TYPE_NOT_ACCEPTED;
        return out.majortype == expected.get().majortype && out.subtype == expected.get().subtype &&
                       out.formattype == FORMAT_VideoInfo
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }

    HRESULT getOutputType(int position, MediaType& mt) override {
        const VIDEOINFOHEADER* in = input().mediaType().videoInfo();
        if (position != 0 || !in)
            return VFW_S_NO_MORE_ITEMS;
        const LONG height = std::abs(in->bmiHeader.biHeight);
        return av::compressedVideoType(codec_->id, in->bmiHeader.biWidth, height,
                                       in->AvgTimePerFrame, {}, mt)
                   ? S_OK
                   : VFW_S_NO_MORE_ITEMS;
    }

    HRESULT decideOutputBuffers(ALLOCATOR_PROPERTIES& props) override {
        const VIDEOINFOHEADER* in = input().mediaType().videoInfo();
        // Room for the worst packet: an intra picture larger than the raw one is possible
        // for noise, so the raw 32-bit size plus headroom.
        props.cBuffers = 2;
        props.cbBuffer =
            LONG(size_t(in->bmiHeader.biWidth) * std::abs(in->bmiHeader.biHeight) * 4 + 65536);
        props.cbAlign = 1;
        return S_OK;
    }

    // Connecting thread: the input's layout is fixed from here on.
    HRESULT onTypesAgreed() override {
        const MediaType& in = input().mediaType();
        if (!av::rawFormatOf(in.get(), raw_))
            return VFW_E_TYPE_NOT_ACCEPTED;
        width_ = in.videoInfo()->bmiHeader.biWidth;
        height_ = std::abs(in.videoInfo()->bmiHeader.biHeight);
        interval_ = in.videoInfo()->AvgTimePerFrame;
        encoderFormat_ = pickPixelFormat();
        // Opening once here refuses a size the encoder cannot take while connecting.
        return openEncoder();
    }

    // Stopped -> Paused, state lock held: every recording starts a fresh stream (a key
    // picture first), so the encoder is opened anew.
    HRESULT onActivate() override {
        if (!input().isConnected())
            return S_OK;
        nextPts_ = 0;
        return openEncoder();
    }

    // Upstream streaming thread.
    HRESULT transform(IMediaSample& in, IMediaSample& out) override {
        BYTE* src = nullptr;
        BYTE* dst = nullptr;
        in.GetPointer(&src);
        out.GetPointer(&dst);
        if (!context_ || !src || !dst)
            return S_FALSE;
        if (!av::wrapPicture(raw_, width_, height_, src, size_t(in.GetActualDataLength()),
                             *source_))
            return S_FALSE; // short sample: never read past it
        if (av::lib().av_frame_make_writable(picture_.get()) < 0)
            return S_FALSE;
        av::lib().sws_scale(scaler_.get(), source_->data, source_->linesize, 0, height_,
                            picture_->data, picture_->linesize);
        picture_->pts = ptsOf(in);
        if (av::lib().avcodec_send_frame(context_.get(), picture_.get()) < 0)
            return S_FALSE;
        const int got = av::lib().avcodec_receive_packet(context_.get(), packet_.get());
        if (got < 0)
            return S_FALSE; // the encoder holds this picture back (none of ours do)
        HRESULT hr = S_FALSE;
        if (packet_->size <= out.GetSize()) {
            std::memcpy(dst, packet_->data, size_t(packet_->size));
            out.SetActualDataLength(packet_->size);
            out.SetSyncPoint((packet_->flags & AV_PKT_FLAG_KEY) != 0);
            hr = S_OK;
        }
        av::lib().av_packet_unref(packet_.get());
        return hr;
    }

private:
    ~VideoCompressor() override = default;

    AVPixelFormat pickPixelFormat() const {
        if (!spec_.pixelFormats.empty())
            return spec_.pixelFormats.front();
        if (!codec_->pix_fmts)
            return raw_.pixelFormat;
        return av::lib().avcodec_find_best_pix_fmt_of_list(codec_->pix_fmts, raw_.pixelFormat, 0,
                                                           nullptr);
    }

    // Picture numbers from the sample times, strictly increasing as encoders require; a
    // picture the camera skipped leaves a gap, so the file keeps the real timing.
    int64_t ptsOf(IMediaSample& sample) {
        REFERENCE_TIME start = 0, end = 0;
        int64_t pts = nextPts_;
        if (SUCCEEDED(sample.GetTime(&start, &end)) && interval_ > 0)
            pts = std::max<int64_t>(nextPts_, (start + interval_ / 2) / interval_);
        nextPts_ = pts + 1;
        return pts;
    }

    HRESULT openEncoder() {
        context_.reset(av::lib().avcodec_alloc_context3(codec_));
        picture_.reset(av::lib().av_frame_alloc());
        source_.reset(av::lib().av_frame_alloc());
        packet_.reset(av::lib().av_packet_alloc());
        if (!context_ || !picture_ || !source_ || !packet_)
            return E_OUTOFMEMORY;
        const AVRational rate = av::frameRateOf(interval_);
        context_->width = width_;
        context_->height = height_;
        context_->pix_fmt = encoderFormat_;
        context_->time_base = {rate.den, rate.num};
        context_->framerate = rate;
        context_->gop_size = std::max(1, 2 * rate.num / std::max(1, rate.den));
        context_->max_b_frames = 0; // one packet per picture, in order
        context_->thread_count = 1;
        AVDictionary* options = nullptr;
        if (codec_->id == AV_CODEC_ID_MJPEG || codec_->id == AV_CODEC_ID_MPEG4) {
            // Constant quality: the default bit rate is far too low for video worth keeping.
            context_->flags |= AV_CODEC_FLAG_QSCALE;
            context_->global_quality = FF_QP2LAMBDA * (codec_->id == AV_CODEC_ID_MJPEG ? 3 : 4);
        }
        if (codec_->id == AV_CODEC_ID_FFV1) {
            // Version 1 carries its tables in every key picture. Larger pictures would make
            // the encoder choose a version that keeps them in extradata, which the stream's
            // type (fixed before the encoder opens) does not carry: no player could decode.
            context_->level = 1;
        }
        if (codec_->id == AV_CODEC_ID_H264) {
            av::lib().av_dict_set(&options, "preset", "veryfast", 0);
            av::lib().av_dict_set(&options, "tune", "zerolatency", 0);
            context_->thread_count = 0;
        }
        const int opened = av::lib().avcodec_open2(context_.get(), codec_, &options);
        av::lib().av_dict_free(&options);
        if (opened < 0) {
            context_.reset();
            return VFW_E_TYPE_NOT_ACCEPTED;
        }
        picture_->format = encoderFormat_;
        picture_->width = width_;
        picture_->height = height_;
        if (av::lib().av_frame_get_buffer(picture_.get(), 0) < 0)
            return E_OUTOFMEMORY;
        scaler_.reset(av::lib().sws_getContext(width_, height_, raw_.pixelFormat, width_, height_,
                                               encoderFormat_, SWS_BILINEAR, nullptr, nullptr,
                                               nullptr));
        return scaler_ ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }

    const CompressorSpec& spec_;
    const AVCodec* codec_;
    av::RawFormat raw_{};
    int width_ = 0, height_ = 0;
    REFERENCE_TIME interval_ = 0;
    AVPixelFormat encoderFormat_ = AV_PIX_FMT_NONE;
    // Made on the control thread while stopped; used by the streaming thread while running.
    av::CodecContextPtr context_;
    av::FramePtr picture_; // the encoder's input, in its own pixel format
    av::FramePtr source_;  // points into each incoming sample
    av::PacketPtr packet_;
    av::SwsPtr scaler_;
    int64_t nextPts_ = 0;
};

} // namespace

HRESULT createVideoCompressor(const CompressorSpec& spec, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    return makeCom<VideoCompressor>(spec)->QueryInterface(riid, object);
}

} // namespace platform::media

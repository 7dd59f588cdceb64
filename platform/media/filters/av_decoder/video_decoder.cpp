// VideoDecoder (CLSID_VideoDecoder): decodes a compressed video stream with FFmpeg into I420
// pictures for the colour converter. A packet may give no picture or several (decoders hold
// pictures back), so samples are delivered as pictures come out, not one per input.
#include "media/base/transform_filter.h"
#include "media/codecs/av_media.h"
#include "media/filters/av_splitter/display_rotation.h"

#include <platform/com_registry.h>
#include <platform/media/file_interfaces.h>

extern "C" {
#include <libavutil/imgutils.h>
}

#include <libyuv.h>

#include <algorithm>
#include <array>
#include <vector>

namespace platform::media {

namespace {

// Decode-order times waiting for their pictures, smallest first: the decoder hands pictures
// out in presentation order, so each picture takes the smallest time not yet given out.
// Fixed capacity: a decoder holds back far fewer pictures than this.
class TimeQueue {
public:
    void clear() { size_ = 0; }
    void push(REFERENCE_TIME time) {
        if (size_ == times_.size())
            popSmallest(); // never reached by a sane stream; keeps the newest times
        auto* end = times_.begin() + size_;
        auto* at = std::upper_bound(times_.begin(), end, time);
        std::copy_backward(at, end, end + 1);
        *at = time;
        ++size_;
    }
    bool popSmallest(REFERENCE_TIME* time = nullptr) {
        if (size_ == 0)
            return false;
        if (time)
            *time = times_[0];
        std::copy(times_.begin() + 1, times_.begin() + size_, times_.begin());
        --size_;
        return true;
    }

private:
    std::array<REFERENCE_TIME, 64> times_{};
    size_t size_ = 0;
};

// The decode times of the packets sent to the decoder whose pictures have not come out yet,
// in sending order. A picture names its packet (the decoder carries the packet's time to the
// picture it codes), so a packet that never gives a picture (damaged, or dropped by the
// decoder) is found by the pictures of the packets after it.
class PendingPackets {
public:
    void clear() { size_ = 0; }
    void push(REFERENCE_TIME time) {
        if (size_ == times_.size())
            removeAt(0); // never reached by a sane stream: the oldest is long lost
        times_[size_++] = time;
    }
    // Forgets the packet sent with `time`; false when none is waiting.
    bool remove(REFERENCE_TIME time) {
        for (size_t i = 0; i < size_; ++i)
            if (times_[i] == time) {
                removeAt(i);
                return true;
            }
        return false;
    }
    // Packets sent before the one at `time` that can no longer give a picture: all but the
    // first `held` of them (pictures a decoder holds back to show later). Forgets them and
    // returns how many there were.
    size_t dropLostBefore(REFERENCE_TIME time, size_t held) {
        size_t earlier = 0;
        while (earlier < size_ && times_[earlier] < time)
            ++earlier;
        size_t lost = 0;
        while (earlier > held) {
            removeAt(held);
            --earlier;
            ++lost;
        }
        return lost;
    }

private:
    void removeAt(size_t at) {
        std::copy(times_.begin() + at + 1, times_.begin() + size_, times_.begin() + at);
        --size_;
    }
    std::array<REFERENCE_TIME, 64> times_{};
    size_t size_ = 0;
};

// An MPEG-4 part 2 packet holding a B-VOP: the VOP start code, then two bits of coding type.
bool isBVop(const BYTE* data, long size) {
    for (long i = 0; i + 4 < size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6)
            return (data[i + 4] >> 6) == 2;
    return false;
}

class VideoDecoder final : public TransformFilter {
public:
    VideoDecoder() : TransformFilter(CLSID_VideoDecoder) {}

protected:
    HRESULT checkInputType(const AM_MEDIA_TYPE& mt) override {
        const MediaType type(mt);
        const VIDEOINFOHEADER* vih = type.videoInfo();
        const AVCodecID codec = av::codecOf(mt);
        if (!vih || codec == AV_CODEC_ID_NONE || !av::lib().avcodec_find_decoder(codec))
            return VFW_E_TYPE_NOT_ACCEPTED;
        const LONG height = std::abs(vih->bmiHeader.biHeight);
        return vih->bmiHeader.biWidth > 0 && vih->bmiHeader.biWidth <= 16384 && height > 0 &&
                       height <= 16384
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT checkTransform(const AM_MEDIA_TYPE&, const AM_MEDIA_TYPE& out) override {
        MediaType expected;
        if (getOutputType(0, expected) != S_OK)
            return VFW_E_TYPE_NOT_ACCEPTED;
        const MediaType type(out);
        const VIDEOINFOHEADER* vih = type.videoInfo();
        return out.majortype == MEDIATYPE_Video && out.subtype == MEDIASUBTYPE_I420 && vih &&
                       vih->bmiHeader.biWidth == expected.videoInfo()->bmiHeader.biWidth &&
                       vih->bmiHeader.biHeight == expected.videoInfo()->bmiHeader.biHeight
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT getOutputType(int position, MediaType& mt) override {
        const VIDEOINFOHEADER* in = input().mediaType().videoInfo();
        if (position != 0 || !in)
            return VFW_S_NO_MORE_ITEMS;
        BITMAPINFOHEADER header{};
        header.biSize = sizeof(header);
        header.biWidth = in->bmiHeader.biWidth;
        header.biHeight = std::abs(in->bmiHeader.biHeight);
        if (const int turn = upstreamRotation(); turn == 90 || turn == 270)
            std::swap(header.biWidth, header.biHeight); // pictures leave upright
        header.biPlanes = 1;
        header.biBitCount = 12;
        header.biCompression = MEDIASUBTYPE_I420.Data1;
        header.biSizeImage = DWORD(pictureSize(header.biWidth, header.biHeight));
        mt = MediaType::video(MEDIASUBTYPE_I420, header, in->AvgTimePerFrame);
        return S_OK;
    }
    HRESULT decideOutputBuffers(ALLOCATOR_PROPERTIES& props) override {
        props.cBuffers = 3;
        props.cbBuffer = LONG(output().mediaType().videoInfo()->bmiHeader.biSizeImage);
        props.cbAlign = 1;
        return S_OK;
    }

    // Connecting thread, filter stopped.
    HRESULT onTypesAgreed() override {
        const MediaType& in = input().mediaType();
        width_ = in.videoInfo()->bmiHeader.biWidth;
        height_ = std::abs(in.videoInfo()->bmiHeader.biHeight);
        rotation_ = upstreamRotation();
        // Turned pictures are decoded here first, then turned into the sample.
        coded_.assign(rotation_ ? pictureSize(width_, height_) : 0, 0);
        interval_ = in.videoInfo()->AvgTimePerFrame;
        const AVCodec* codec = av::lib().avcodec_find_decoder(av::codecOf(in.get()));
        context_.reset(av::lib().avcodec_alloc_context3(codec));
        frame_.reset(av::lib().av_frame_alloc());
        packet_.reset(av::lib().av_packet_alloc());
        if (!context_ || !frame_ || !packet_)
            return E_OUTOFMEMORY;
        context_->width = width_;
        context_->height = height_;
        context_->pkt_timebase = {1, int(UNITS)};
        context_->thread_count = 0; // as many as the machine has
        const auto extra = av::extradataOf(in.get());
        if (!extra.empty()) {
            context_->extradata = static_cast<uint8_t*>(
                av::lib().av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!context_->extradata)
                return E_OUTOFMEMORY;
            std::copy(extra.begin(), extra.end(), context_->extradata);
            context_->extradata_size = int(extra.size());
        }
        if (av::lib().avcodec_open2(context_.get(), codec, nullptr) < 0) {
            context_.reset();
            return VFW_E_TYPE_NOT_ACCEPTED;
        }
        return S_OK;
    }

    HRESULT transform(IMediaSample&, IMediaSample&) override { return S_FALSE; }

    // Stopped -> Paused, state lock held, no sample flowing: pictures held from before a
    // seek or a stop must never come out at the next position.
    HRESULT onActivate() override {
        if (context_)
            av::lib().avcodec_flush_buffers(context_.get());
        times_.clear();
        pending_.clear();
        afterKey_ = false;
        firstKey_ = true;
        return TransformFilter::onActivate();
    }

    // Upstream streaming thread, inside the gate.
    HRESULT receive(InputPin&, IMediaSample* sample) override {
        if (!context_ || !output().isConnected())
            return S_OK;
        if (sample->IsDiscontinuity() == S_OK) {
            av::lib().avcodec_flush_buffers(context_.get()); // a new position: forget held pictures
            times_.clear();
            pending_.clear();
            afterKey_ = false;
            firstKey_ = true;
        }
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        REFERENCE_TIME start = 0, end = 0;
        const bool timed = SUCCEEDED(sample->GetTime(&start, &end));
        LONGLONG mediaStart = 0, mediaEnd = 0;
        decodeOrder_ = timed && SUCCEEDED(sample->GetMediaTime(&mediaStart, &mediaEnd));
        if (decodeOrder_) {
            times_.push(start);
            pending_.push(start);
            dropLeadingTime(*sample, data, start);
        }
        packet_->data = data;
        packet_->size = sample->GetActualDataLength();
        packet_->pts = timed ? start : AV_NOPTS_VALUE;
        packet_->dts = AV_NOPTS_VALUE;
        packet_->flags = sample->IsSyncPoint() == S_OK ? AV_PKT_FLAG_KEY : 0;
        int sent = av::lib().avcodec_send_packet(context_.get(), packet_.get());
        while (sent == AVERROR(EAGAIN)) {
            // The decoder is full: take its pictures first, then hand it the packet again.
            if (HRESULT hr = deliverPictures(); hr != S_OK)
                return hr;
            sent = av::lib().avcodec_send_packet(context_.get(), packet_.get());
        }
        packet_->data = nullptr;
        packet_->size = 0;
        return deliverPictures(); // a broken packet is skipped; the stream goes on
    }

    // The stream ended: the pictures the decoder still holds go out before the end.
    HRESULT endOfStream(InputPin& pin) override {
        if (context_ && output().isConnected()) {
            av::lib().avcodec_send_packet(context_.get(), nullptr);
            deliverPictures();
            av::lib().avcodec_flush_buffers(context_.get());
        }
        return TransformFilter::endOfStream(pin);
    }

private:
    ~VideoDecoder() override = default;

    // Decode-order times: B-VOPs that follow the key frame a seek started from but are shown
    // before it need a picture from before that key frame; the decoder drops them. They
    // would have taken the smallest times, so those times go with them.
    void dropLeadingTime(IMediaSample& sample, const BYTE* data, REFERENCE_TIME time) {
        if (sample.IsSyncPoint() == S_OK) {
            afterKey_ = firstKey_;
            firstKey_ = false;
            return;
        }
        if (!afterKey_ || context_->codec_id != AV_CODEC_ID_MPEG4)
            return;
        if (isBVop(data, sample.GetActualDataLength())) {
            times_.popSmallest();
            pending_.remove(time);
        } else
            afterKey_ = false; // the next reference picture: nothing leads any more
    }

    // Connecting thread: the clockwise turn the splitter upstream asks for, or 0.
    int upstreamRotation() {
        IPin* peer = input().peer();
        PIN_INFO info{};
        if (!peer || FAILED(peer->QueryPinInfo(&info)) || !info.pFilter)
            return 0;
        IDisplayRotation* rotation = nullptr;
        int degrees = 0;
        if (SUCCEEDED(info.pFilter->QueryInterface(IID_IDisplayRotation,
                                                   reinterpret_cast<void**>(&rotation)))) {
            if (FAILED(rotation->GetRotation(&degrees)))
                degrees = 0;
            rotation->Release();
        }
        info.pFilter->Release();
        return degrees == 90 || degrees == 180 || degrees == 270 ? degrees : 0;
    }

    static size_t pictureSize(LONG width, LONG height) {
        const size_t w = size_t(width), h = size_t(height);
        return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
    }

    // Delivers every picture the decoder has ready. S_OK when it wants more input.
    HRESULT deliverPictures() {
        for (;;) {
            const int got = av::lib().avcodec_receive_frame(context_.get(), frame_.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
                return S_OK;
            if (got < 0)
                return S_OK;
            // The picture takes its time whether or not it is delivered: a picture skipped
            // here must not leave its time to the next one.
            const REFERENCE_TIME start = pictureTime();
            HRESULT hr = S_OK;
            if (frame_->width == width_ && frame_->height == height_)
                hr = deliverPicture(start);
            av::lib().av_frame_unref(frame_.get());
            if (hr != S_OK)
                return hr;
        }
    }

    // The time of the picture just received. Pictures carry their packet's time; in decode
    // order that is the packet's decode time, and pictures come out in presentation order, so
    // each takes the smallest decode time still waiting. Packets sent before this picture's
    // that gave none take their times with them first: a picture that is no B-picture comes
    // out after everything decoded before it, a B-picture after at most the pictures the
    // decoder holds back.
    REFERENCE_TIME pictureTime() {
        REFERENCE_TIME start = frame_->best_effort_timestamp != AV_NOPTS_VALUE
                                   ? frame_->best_effort_timestamp
                                   : frame_->pts;
        if (!decodeOrder_)
            return start == AV_NOPTS_VALUE ? 0 : start;
        if (frame_->pts != AV_NOPTS_VALUE) {
            const size_t held = frame_->pict_type == AV_PICTURE_TYPE_B
                                    ? size_t(std::max(1, context_->has_b_frames))
                                    : 0;
            for (size_t lost = pending_.dropLostBefore(frame_->pts, held); lost > 0; --lost)
                times_.popSmallest();
            pending_.remove(frame_->pts);
        }
        if (!times_.popSmallest(&start))
            start = 0;
        return start;
    }

    HRESULT deliverPicture(REFERENCE_TIME start) {
        IMediaSample* out = nullptr;
        if (HRESULT hr = output().getDeliveryBuffer(&out); FAILED(hr))
            return hr; // stopping
        BYTE* data = nullptr;
        out->GetPointer(&data);
        const size_t size = pictureSize(width_, height_);
        AVFrame target{};
        av::RawFormat i420{AV_PIX_FMT_YUV420P, 0, 12, false};
        HRESULT hr = S_OK;
        BYTE* picture = rotation_ ? coded_.data() : data;
        const size_t room = rotation_ ? coded_.size() : size_t(out->GetSize());
        if (!av::wrapPicture(i420, width_, height_, picture, room, target)) {
            out->Release();
            return S_OK;
        }
        const auto format = AVPixelFormat(frame_->format);
        if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
            const int cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
            av::lib().av_image_copy_plane(target.data[0], target.linesize[0], frame_->data[0],
                                          frame_->linesize[0], width_, height_);
            av::lib().av_image_copy_plane(target.data[1], target.linesize[1], frame_->data[1],
                                          frame_->linesize[1], cw, ch);
            av::lib().av_image_copy_plane(target.data[2], target.linesize[2], frame_->data[2],
                                          frame_->linesize[2], cw, ch);
        } else {
            // Other layouts (4:2:2, 4:4:4, RGB, high bit depth) through libswscale; the
            // context is made for the first such picture and kept.
            scaler_.reset(av::lib().sws_getCachedContext(scaler_.release(), width_, height_, format,
                                                         width_, height_, AV_PIX_FMT_YUV420P,
                                                         SWS_BILINEAR, nullptr, nullptr, nullptr));
            if (!scaler_) {
                out->Release();
                return S_OK;
            }
            av::lib().sws_scale(scaler_.get(), frame_->data, frame_->linesize, 0, height_,
                                target.data, target.linesize);
        }
        if (rotation_ && !turn(target, data, size_t(out->GetSize()))) {
            out->Release();
            return S_OK;
        }
        out->SetActualDataLength(LONG(size));
        REFERENCE_TIME end = start + interval_;
        out->SetTime(&start, &end);
        out->SetSyncPoint(TRUE);
        // Pictures before the position sought are decoded only to reach it.
        out->SetPreroll(start + interval_ / 2 < 0);
        out->SetDiscontinuity(FALSE);
        hr = output().deliver(out);
        out->Release();
        return hr;
    }

    // The decoded picture, turned into the sample as the file asks.
    bool turn(const AVFrame& coded, BYTE* data, size_t room) {
        const bool quarter = rotation_ == 90 || rotation_ == 270;
        AVFrame upright{};
        const av::RawFormat i420{AV_PIX_FMT_YUV420P, 0, 12, false};
        if (!av::wrapPicture(i420, quarter ? height_ : width_, quarter ? width_ : height_, data,
                             room, upright))
            return false;
        const auto mode = rotation_ == 90    ? libyuv::kRotate90
                          : rotation_ == 180 ? libyuv::kRotate180
                                             : libyuv::kRotate270;
        return libyuv::I420Rotate(coded.data[0], coded.linesize[0], coded.data[1],
                                  coded.linesize[1], coded.data[2], coded.linesize[2],
                                  upright.data[0], upright.linesize[0], upright.data[1],
                                  upright.linesize[1], upright.data[2], upright.linesize[2], width_,
                                  height_, mode) == 0;
    }

    int width_ = 0, height_ = 0; // as coded
    REFERENCE_TIME interval_ = 0;
    // Made while connecting; used by the one streaming thread that feeds this filter.
    av::CodecContextPtr context_;
    av::FramePtr frame_;
    av::PacketPtr packet_;
    av::SwsPtr scaler_;
    int rotation_ = 0;        // clockwise degrees the pictures are turned by
    std::vector<BYTE> coded_; // the decoded picture before it is turned
    // Decode-order times (samples with media times): streaming thread, or while stopped.
    TimeQueue times_;
    PendingPackets pending_;
    bool decodeOrder_ = false;
    bool firstKey_ = true;  // no key frame yet since the last seek
    bool afterKey_ = false; // between a seek's key frame and the next reference picture
};

const ClassRegistration registration{CLSID_VideoDecoder, av::createInstance<VideoDecoder>};

} // namespace

} // namespace platform::media

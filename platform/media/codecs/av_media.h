// FFmpeg glue shared by the codec and file filters: owning pointers for FFmpeg objects, and the
// mapping between media types and FFmpeg's codec ids, pixel formats and rates.
#pragma once

#include "media/base/media_type.h"

#include <platform/media/media_types.h>

#include "media/codecs/av_library.h"

#include <memory>
#include <span>

namespace platform::media::av {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { lib().avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { lib().av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { lib().av_packet_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { lib().sws_freeContext(s); }
};
struct InputFormatClose {
    void operator()(AVFormatContext* f) const { lib().avformat_close_input(&f); }
};
struct OutputFormatFree {
    void operator()(AVFormatContext* f) const { lib().avformat_free_context(f); }
};
// An AVIOContext and the buffer FFmpeg may have replaced while using it.
struct IoContextFree {
    void operator()(AVIOContext* io) const {
        lib().av_freep(&io->buffer);
        lib().avio_context_free(&io);
    }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatClose>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFree>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextFree>;

// The subtype of a FOURCC: the FOURCC in Data1, then the platform's fixed FOURCC base.
GUID fourccSubtype(DWORD fourcc);

// A compressed video type: the codec's AVI FOURCC as subtype (codecs without one get a
// subtype of our own naming the codec id), a VIDEOINFOHEADER followed by the codec's
// extradata, variable-size samples. False for an unknown codec.
bool compressedVideoType(AVCodecID codec, int width, int height, REFERENCE_TIME interval,
                         std::span<const uint8_t> extradata, MediaType& mt);
// The codec of a compressed video type, AV_CODEC_ID_NONE when unknown or uncompressed.
AVCodecID codecOf(const AM_MEDIA_TYPE& mt);
// The extradata following a compressed type's VIDEOINFOHEADER.
std::span<const uint8_t> extradataOf(const AM_MEDIA_TYPE& mt);

// An uncompressed picture type FFmpeg can read or write: its pixel format, the AVI FOURCC it
// is stored under (0 for DIB RGB) and whether its rows run bottom-up.
struct RawFormat {
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    uint32_t aviTag = 0;
    int bitsPerPixel = 0;
    bool bottomUp = false;
};
bool rawFormatOf(const AM_MEDIA_TYPE& mt, RawFormat& raw);

// Points `frame`'s planes at a packed picture of the given raw format (no copy); bottom-up
// pictures get their last row first and negative strides. False when `size` is too small.
bool wrapPicture(const RawFormat& raw, int width, int height, BYTE* data, size_t size,
                 AVFrame& frame);

// The frame rate a frame interval stands for, snapped to whole and NTSC rates.
AVRational frameRateOf(REFERENCE_TIME interval);

// The platform result for an FFmpeg error code.
HRESULT resultOf(int averror);

} // namespace platform::media::av

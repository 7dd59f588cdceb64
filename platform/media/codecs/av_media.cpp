// FFmpeg glue: media types for codecs and pictures, and FFmpeg's results as platform results.
#include "media/codecs/av_media.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <cerrno>
#include <cmath>
#include <cstring>

namespace platform::media::av {

namespace {

// Subtypes of codecs that have no AVI FOURCC: the codec id in Data1, then this base.
constexpr GUID kCodecIdBase = {0, 0x4156, 0x0000, {0x8f, 0x2a, 0x4f, 0x52, 0x4d, 0x49, 0x44, 0x4c}};

bool sameTail(const GUID& a, const GUID& b) {
    return a.Data2 == b.Data2 && a.Data3 == b.Data3 && std::memcmp(a.Data4, b.Data4, 8) == 0;
}

const AVCodecTag* const* aviTags() {
    static const AVCodecTag* const tags[] = {lib().avformat_get_riff_video_tags(), nullptr};
    return tags;
}

} // namespace

GUID fourccSubtype(DWORD fourcc) {
    GUID subtype = MEDIASUBTYPE_YUY2;
    subtype.Data1 = fourcc;
    return subtype;
}

bool compressedVideoType(AVCodecID codec, int width, int height, REFERENCE_TIME interval,
                         std::span<const uint8_t> extradata, MediaType& mt) {
    if (codec == AV_CODEC_ID_NONE || codec == AV_CODEC_ID_RAWVIDEO || width <= 0 || height <= 0 ||
        width > 16384 || height > 16384 || extradata.size() > (1u << 20))
        return false;
    const DWORD tag = lib().av_codec_get_tag(aviTags(), codec);
    GUID subtype = kCodecIdBase;
    subtype.Data1 = static_cast<uint32_t>(codec);
    if (tag)
        subtype = fourccSubtype(tag);
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = tag;
    header.biSizeImage = DWORD(dibStride(width, 24) * height);
    mt = MediaType::video(subtype, header, interval);
    AM_MEDIA_TYPE& type = mt.get();
    type.bFixedSizeSamples = FALSE;
    type.bTemporalCompression = TRUE;
    type.lSampleSize = 0;
    if (!extradata.empty()) {
        const ULONG size = ULONG(sizeof(VIDEOINFOHEADER) + extradata.size());
        auto* block = static_cast<BYTE*>(CoTaskMemAlloc(size));
        if (!block)
            return false;
        std::memcpy(block, type.pbFormat, sizeof(VIDEOINFOHEADER));
        std::memcpy(block + sizeof(VIDEOINFOHEADER), extradata.data(), extradata.size());
        CoTaskMemFree(type.pbFormat);
        type.pbFormat = block;
        type.cbFormat = size;
    }
    return true;
}

AVCodecID codecOf(const AM_MEDIA_TYPE& mt) {
    if (mt.majortype != MEDIATYPE_Video)
        return AV_CODEC_ID_NONE;
    if (sameTail(mt.subtype, kCodecIdBase)) {
        const AVCodecDescriptor* known = lib().avcodec_descriptor_get(AVCodecID(mt.subtype.Data1));
        return known ? known->id : AV_CODEC_ID_NONE;
    }
    if (!sameTail(mt.subtype, MEDIASUBTYPE_YUY2))
        return AV_CODEC_ID_NONE;
    const AVCodecID codec = lib().av_codec_get_id(aviTags(), mt.subtype.Data1);
    return codec == AV_CODEC_ID_RAWVIDEO ? AV_CODEC_ID_NONE : codec;
}

std::span<const uint8_t> extradataOf(const AM_MEDIA_TYPE& mt) {
    if (mt.formattype != FORMAT_VideoInfo || !mt.pbFormat || mt.cbFormat <= sizeof(VIDEOINFOHEADER))
        return {};
    return {mt.pbFormat + sizeof(VIDEOINFOHEADER), mt.cbFormat - sizeof(VIDEOINFOHEADER)};
}

bool rawFormatOf(const AM_MEDIA_TYPE& mt, RawFormat& raw) {
    const MediaType type(mt);
    const VIDEOINFOHEADER* vih = type.videoInfo();
    if (mt.majortype != MEDIATYPE_Video || !vih)
        return false;
    raw = RawFormat{};
    const GUID& s = mt.subtype;
    if (s == MEDIASUBTYPE_RGB24 && vih->bmiHeader.biBitCount == 24)
        raw = {AV_PIX_FMT_BGR24, 0, 24, vih->bmiHeader.biHeight > 0};
    else if (s == MEDIASUBTYPE_RGB32 && vih->bmiHeader.biBitCount == 32)
        raw = {AV_PIX_FMT_BGRA, 0, 32, vih->bmiHeader.biHeight > 0};
    else if (s == MEDIASUBTYPE_YUY2)
        raw = {AV_PIX_FMT_YUYV422, s.Data1, 16, false};
    else if (s == MEDIASUBTYPE_I420 || s == MEDIASUBTYPE_IYUV)
        raw = {AV_PIX_FMT_YUV420P, MEDIASUBTYPE_I420.Data1, 12, false};
    else if (s == MEDIASUBTYPE_NV12)
        raw = {AV_PIX_FMT_NV12, s.Data1, 12, false};
    else if (s == MEDIASUBTYPE_Y800)
        raw = {AV_PIX_FMT_GRAY8, s.Data1, 8, false};
    else
        return false;
    return true;
}

bool wrapPicture(const RawFormat& raw, int width, int height, BYTE* data, size_t size,
                 AVFrame& frame) {
    const size_t w = size_t(width), h = size_t(height), cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::memset(frame.data, 0, sizeof(frame.data));
    std::memset(frame.linesize, 0, sizeof(frame.linesize));
    switch (raw.pixelFormat) {
    case AV_PIX_FMT_BGR24:
    case AV_PIX_FMT_BGRA: {
        const size_t stride = size_t(dibStride(width, raw.bitsPerPixel));
        if (size < stride * h)
            return false;
        frame.data[0] = raw.bottomUp ? data + stride * (h - 1) : data;
        frame.linesize[0] = raw.bottomUp ? -int(stride) : int(stride);
        break;
    }
    case AV_PIX_FMT_YUYV422:
        if (size < cw * 4 * h)
            return false;
        frame.data[0] = data;
        frame.linesize[0] = int(cw * 4);
        break;
    case AV_PIX_FMT_YUV420P:
        if (size < w * h + 2 * cw * ch)
            return false;
        frame.data[0] = data;
        frame.data[1] = data + w * h;
        frame.data[2] = data + w * h + cw * ch;
        frame.linesize[0] = width;
        frame.linesize[1] = frame.linesize[2] = int(cw);
        break;
    case AV_PIX_FMT_NV12:
        if (size < w * h + 2 * cw * ch)
            return false;
        frame.data[0] = data;
        frame.data[1] = data + w * h;
        frame.linesize[0] = width;
        frame.linesize[1] = int(cw * 2);
        break;
    case AV_PIX_FMT_GRAY8:
        if (size < w * h)
            return false;
        frame.data[0] = data;
        frame.linesize[0] = width;
        break;
    default:
        return false;
    }
    frame.format = raw.pixelFormat;
    frame.width = width;
    frame.height = height;
    return true;
}

AVRational frameRateOf(REFERENCE_TIME interval) {
    if (interval <= 0)
        return {30, 1};
    const double fps = double(UNITS) / double(interval);
    if (std::fabs(fps - std::round(fps)) < 0.01)
        return {int(std::lround(fps)), 1};
    const double ntsc = fps * 1.001;
    if (std::fabs(ntsc - std::round(ntsc)) < 0.01)
        return {int(std::lround(ntsc)) * 1000, 1001};
    return lib().av_d2q(fps, 1000000);
}

HRESULT resultOf(int averror) {
    if (averror >= 0)
        return S_OK;
    if (averror == AVERROR(ENOMEM))
        return E_OUTOFMEMORY;
    if (averror == AVERROR(EACCES) || averror == AVERROR(EPERM))
        return E_ACCESSDENIED;
    if (averror == AVERROR(EFBIG) || averror == AVERROR(ENOSPC))
        return HRESULT_FROM_WIN32(112); // ERROR_DISK_FULL
    return E_FAIL;
}

} // namespace platform::media::av

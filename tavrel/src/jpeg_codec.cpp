// libturbojpeg calls: 4:2:0 at quality 80, fast DCT; libyuv turns bottom-up BGR into planes.
#include "jpeg_codec.h"

#include <libyuv/convert.h>
#include <turbojpeg.h>

namespace tavrel {

void TjHandleDeleter::operator()(void* handle) const {
    tjDestroy(handle);
}

JpegEncoder::JpegEncoder() : m_handle(tjInitCompress()) {}

size_t JpegEncoder::maxEncodedBytes(const DibFormat& format) {
    const unsigned long n = tjBufSize(format.width, format.height, TJSAMP_420);
    return n == static_cast<unsigned long>(-1) ? 0 : static_cast<size_t>(n);
}

bool JpegEncoder::sizePlanes(const DibFormat& format) {
    if (format == m_planeFormat && m_planes.valid())
        return true;
    if (!format.valid())
        return false;
    m_chromaWidth = (format.width + 1) / 2;
    m_chromaHeight = (format.height + 1) / 2;
    const size_t luma = static_cast<size_t>(format.width) * static_cast<size_t>(format.height);
    const size_t chroma = static_cast<size_t>(m_chromaWidth) * static_cast<size_t>(m_chromaHeight);
    m_planes = MappedBuffer(luma + 2 * chroma);
    m_planeFormat = m_planes.valid() ? format : DibFormat{};
    return m_planes.valid();
}

size_t JpegEncoder::encode(const DibFormat& format, const uint8_t* rows, uint8_t* out,
                           size_t capacity) {
    if (!m_handle || capacity < maxEncodedBytes(format) || !sizePlanes(format))
        return 0;
    uint8_t* y = m_planes.data();
    uint8_t* u = y + static_cast<size_t>(format.width) * static_cast<size_t>(format.height);
    uint8_t* v = u + static_cast<size_t>(m_chromaWidth) * static_cast<size_t>(m_chromaHeight);
    // libyuv's "RGB24" is B, G, R in memory, a DIB's order; a negative height reads the
    // bottom-up rows last to first, so the planes come out top-down.
    if (libyuv::RGB24ToJ420(rows, static_cast<int>(format.stride()), y, format.width, u,
                            m_chromaWidth, v, m_chromaWidth, format.width, -format.height) != 0)
        return 0;
    const unsigned char* planes[3] = {y, u, v};
    const int strides[3] = {format.width, m_chromaWidth, m_chromaWidth};
    unsigned char* dst = out;
    unsigned long size = capacity;
    const int rc = tjCompressFromYUVPlanes(m_handle.get(), planes, format.width, strides,
                                           format.height, TJSAMP_420, &dst, &size, kQuality,
                                           TJFLAG_NOREALLOC | TJFLAG_FASTDCT);
    return (rc != 0 || dst != out) ? 0 : static_cast<size_t>(size);
}

JpegDecoder::JpegDecoder() : m_handle(tjInitDecompress()) {}

bool JpegDecoder::readSize(const uint8_t* jpeg, size_t size, int& width, int& height) {
    int subsamp = 0;
    int colorspace = 0;
    if (!m_handle || size == 0 || size > kMaxFrameBytes)
        return false;
    return tjDecompressHeader3(m_handle.get(), jpeg, static_cast<unsigned long>(size), &width,
                               &height, &subsamp, &colorspace) == 0;
}

bool JpegDecoder::decode(const uint8_t* jpeg, size_t size, const DibFormat& format, uint8_t* rows) {
    int w = 0;
    int h = 0;
    if (!readSize(jpeg, size, w, h) || w != format.width || h != format.height)
        return false;
    const int rc = tjDecompress2(m_handle.get(), jpeg, static_cast<unsigned long>(size), rows,
                                 format.width, static_cast<int>(format.stride()), format.height,
                                 TJPF_BGR, TJFLAG_BOTTOMUP | TJFLAG_FASTDCT | TJFLAG_LIMITSCANS);
    // A truncated or slightly damaged picture still decodes (with a warning); show it.
    return rc == 0 || tjGetErrorCode(m_handle.get()) == TJERR_WARNING;
}

} // namespace tavrel

namespace tavrel {

bool JpegDecoder::validate(const uint8_t* jpeg, size_t size) {
    int w = 0;
    int h = 0;
    if (!readSize(jpeg, size, w, h) || w <= 0 || h <= 0 || w > kMaxFrameDimension ||
        h > kMaxFrameDimension)
        return false;
    const tjscalingfactor eighth{1, 8};
    const int sw = TJSCALED(w, eighth);
    const int sh = TJSCALED(h, eighth);
    m_scratch.resize(static_cast<size_t>(sw) * 3 * static_cast<size_t>(sh));
    return tjDecompress2(m_handle.get(), jpeg, static_cast<unsigned long>(size), m_scratch.data(),
                         sw, sw * 3, sh, TJPF_BGR,
                         TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS | TJFLAG_FASTDCT) == 0;
}

} // namespace tavrel

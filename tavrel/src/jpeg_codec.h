// JpegEncoder / JpegDecoder: libturbojpeg handles for bottom-up BGR frames, owned and reused.
#pragma once

#include "dib_format.h"
#include "mapped_buffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tavrel {

struct TjHandleDeleter {
    void operator()(void* handle) const;
};
using TjHandle = std::unique_ptr<void, TjHandleDeleter>;

class JpegEncoder {
public:
    static constexpr int kQuality = 80;
    JpegEncoder();
    bool valid() const { return m_handle != nullptr; }
    // The largest JPEG a frame of `format` can become; buffers of this size never reallocate.
    static size_t maxEncodedBytes(const DibFormat& format);
    // Encodes the bottom-up BGR rows at `rows` into `out` (capacity maxEncodedBytes); 0 on failure.
    // The rows are converted once to full-range 4:2:0 planes (the colours a JFIF decoder
    // expects) and compressed from those, which costs less than letting the compressor
    // convert colour itself. The planes are sized on the first frame of a size and reused.
    size_t encode(const DibFormat& format, const uint8_t* rows, uint8_t* out, size_t capacity);
    // Gives the planes' pages back to the system (an encoder used once in a while need not keep
    // a 4:2:0 picture resident); the next encode touches them again.
    void discardScratch() { m_planes.discard(); }

private:
    bool sizePlanes(const DibFormat& format);

    TjHandle m_handle;
    DibFormat m_planeFormat{};
    MappedBuffer m_planes; // Y, then U, then V
    int m_chromaWidth = 0;
    int m_chromaHeight = 0;
};

class JpegDecoder {
public:
    JpegDecoder();
    bool valid() const { return m_handle != nullptr; }
    // Reads the picture size from a JPEG's header; false when it is not a JPEG we can read.
    bool readSize(const uint8_t* jpeg, size_t size, int& width, int& height);
    // Decodes into bottom-up BGR rows of `format` (the JPEG must be of that size). A picture
    // that decodes with a warning (slightly damaged) is still shown.
    bool decode(const uint8_t* jpeg, size_t size, const DibFormat& format, uint8_t* rows);
    // Whether the whole picture decodes without error or warning, checked at an eighth of its
    // size: every coefficient is still read, so a truncated or forged picture fails, yet no
    // buffer of the size its header claims is needed. Reuses one small scratch buffer.
    bool validate(const uint8_t* jpeg, size_t size);

private:
    TjHandle m_handle;
    std::vector<uint8_t> m_scratch;
};

} // namespace tavrel

// The video compressors the system offers: FFmpeg encoders under the names users know them by.
#pragma once

#include <platform/com.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string>
#include <vector>

namespace platform::media {

struct CompressorSpec {
    const char16_t* friendlyName;
    const char* encoder; // FFmpeg's encoder name
    // Pixel formats the encoder is fed, best first; empty: the encoder's own best match for
    // the input (lossless encoders keep the input's colours).
    std::vector<AVPixelFormat> pixelFormats;
};

// The compressors whose encoder this FFmpeg has and can open, in a fixed order.
const std::vector<CompressorSpec>& usableCompressors();

// A compressor filter (a transform from RGB or YUV pictures to the encoder's stream).
HRESULT createVideoCompressor(const CompressorSpec& spec, REFIID riid, void** object);

} // namespace platform::media

// MjpegEncoder: compresses YUY2 pictures into JPEG frames with buffers fixed at configure().
#pragma once

#include <platform/api.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform::media::pattern {

// All memory is taken by configure(); encode() allocates nothing and writes into the
// caller's buffer, so it may run per frame on a streaming thread. Not shared between threads.
class PLATFORM_API MjpegEncoder {
public:
    MjpegEncoder();
    ~MjpegEncoder();
    MjpegEncoder(const MjpegEncoder&) = delete;
    MjpegEncoder& operator=(const MjpegEncoder&) = delete;

    bool configure(int width, int height, int quality = 85);
    // The largest frame encode() can produce at the configured size.
    size_t maxFrameBytes() const { return maxBytes_; }
    // Compresses a top-down YUY2 picture; the JPEG's size, or 0 on failure (including a
    // destination smaller than maxFrameBytes()).
    size_t encodeYuy2(const uint8_t* yuy2, size_t stride, uint8_t* out, size_t capacity);

private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    int width_ = 0;
    int height_ = 0;
    int quality_ = 85;
    size_t maxBytes_ = 0;
    std::vector<uint8_t> planes_; // I422: Y, then U, then V
};

} // namespace platform::media::pattern

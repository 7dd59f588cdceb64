// JpegWorker: the transport's encoder thread; encodes the newest frame once, while JPEG is wanted.
#pragma once

#include "frame_pool.h"
#include "jpeg_codec.h"

#include <functional>
#include <thread>

namespace tavrel {

class JpegWorker {
public:
    // `onEncoded` runs on the encoder thread after each new JPEG (it wakes the I/O thread).
    JpegWorker(FramePool& pool, std::function<void()> onEncoded);
    ~JpegWorker();
    JpegWorker(const JpegWorker&) = delete;
    JpegWorker& operator=(const JpegWorker&) = delete;

private:
    void loop();

    FramePool& m_pool;
    std::function<void()> m_onEncoded;
    JpegEncoder m_encoder;
    std::thread m_thread;
};

} // namespace tavrel

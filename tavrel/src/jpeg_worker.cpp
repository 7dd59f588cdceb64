// JpegWorker: skips to the newest frame whenever encoding falls behind the camera.
#include "jpeg_worker.h"

namespace tavrel {

JpegWorker::JpegWorker(FramePool& pool, std::function<void()> onEncoded)
    : m_pool(pool), m_onEncoded(std::move(onEncoded)), m_thread([this] { loop(); }) {}

JpegWorker::~JpegWorker() {
    m_pool.shutdown();
    m_thread.join();
}

// Encoder thread.
void JpegWorker::loop() {
    const DibFormat& format = m_pool.format();
    const size_t capacity = JpegEncoder::maxEncodedBytes(format);
    uint64_t lastSeq = 0;
    while (FrameSlot* slot = m_pool.waitForEncodeWork(lastSeq)) {
        lastSeq = slot->seq;
        // The slot is referenced, so nobody rewrites it; its JPEG buffer is sized once.
        if (slot->jpeg.size() < capacity)
            slot->jpeg.resize(capacity);
        const size_t size = m_encoder.encode(format, slot->raw.data(), slot->jpeg.data(), capacity);
        m_pool.finishEncode(slot, size);
        if (size > 0)
            m_onEncoded();
    }
}

} // namespace tavrel

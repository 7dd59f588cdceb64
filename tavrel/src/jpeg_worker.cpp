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
    uint64_t lastSeq = 0;
    while (FrameSlot* slot = m_pool.waitForEncodeWork(lastSeq)) {
        lastSeq = slot->seq;
        // The raw slot is referenced, so nobody rewrites it; the JPEG goes to a buffer of its
        // own, so viewers sending it keep no raw frame alive. With every buffer held the frame
        // is skipped, like any frame the encoder falls behind on.
        EncodedFrame* out = m_pool.takeEncodeBuffer();
        if (!out) {
            m_pool.release(slot);
            continue;
        }
        const size_t size =
            m_encoder.encode(format, slot->raw.data(), out->bytes.data(), out->bytes.capacity());
        m_pool.finishEncode(slot, out, size);
        if (size > 0)
            m_onEncoded();
    }
}

} // namespace tavrel

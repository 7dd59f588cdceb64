// BufferRing: a small ring of memory-mapped V4L2 capture buffers (REQBUFS .. STREAMOFF).
#pragma once

#include "media/sources/v4l2/v4l2_device.h"

#include <platform/media/media_types.h>

#include <vector>

namespace platform::media::v4l2 {

// Owns the device's buffers and their mappings from allocate() to release() (or
// destruction). Used by one thread at a time: the filter allocates and starts it on the
// control thread, the streaming thread dequeues and requeues, and the control thread stops
// and releases it only after the streaming thread has been joined.
class BufferRing {
public:
    struct Frame {
        uint32_t index = 0;
        const BYTE* data = nullptr;
        uint32_t bytesUsed = 0;       // never more than the buffer's mapped length
        REFERENCE_TIME timestamp = 0; // the driver's capture time, 100 ns
        uint32_t sequence = 0;
        bool corrupted = false; // the driver flagged the data as damaged
    };

    // Enough to keep a camera streaming while one frame is in our hands; capped so a driver
    // that grants many cannot make us map without bound.
    static constexpr uint32_t kDefaultCount = 4;
    static constexpr uint32_t kMaxCount = 32;
    static constexpr uint32_t kMaxBufferBytes = 256u << 20;

    BufferRing() = default;
    BufferRing(const BufferRing&) = delete;
    BufferRing& operator=(const BufferRing&) = delete;
    ~BufferRing() { release(); }

    // Requests and maps the buffers; -errno (-ENOMEM when the driver grants fewer than two,
    // -EPROTO when it reports absurd buffers). On failure nothing stays allocated.
    int allocate(const DeviceFd& fd, uint32_t count = kDefaultCount);
    // Queues every buffer and starts streaming.
    int start();
    // Waits up to timeoutMs for a filled buffer: 0 with `out` set; -EAGAIN when none came in
    // time; -ENODEV when the device is gone; another -errno on failure.
    int dequeue(int timeoutMs, Frame* out);
    // Gives a dequeued buffer back to the driver.
    int requeue(uint32_t index);
    // Stops streaming (the driver takes back every buffer); harmless when not streaming.
    void stop();
    // Stops, unmaps and frees the driver's buffers.
    void release();

    uint32_t count() const { return uint32_t(buffers_.size()); }
    bool streaming() const { return streaming_; }

private:
    struct Mapping {
        void* address = nullptr;
        size_t length = 0;
    };
    const DeviceFd* fd_ = nullptr;
    std::vector<Mapping> buffers_;
    bool streaming_ = false;
    bool requested_ = false;
};

} // namespace platform::media::v4l2

// FramePool: reference-counted frame slots shared by the camera, the encoder and the I/O thread.
#pragma once

#include "dib_format.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tavrel {

// One frame: the raw rows and, once encoded, its JPEG. Read-only while anyone holds a reference.
struct FrameSlot {
    std::vector<uint8_t> raw;
    std::vector<uint8_t> jpeg; // sized once, on the slot's first encode
    size_t jpegSize = 0;
    uint64_t seq = 0;     // 1, 2, ... in camera order; 0 while the slot is being filled
    uint64_t jpegSeq = 0; // equals seq once `jpeg` holds this frame
    int64_t timestampUs = 0;
    int refs = 0; // guarded by the pool's mutex
};

struct PoolCounters {
    uint64_t published = 0;
    uint64_t dropped = 0; // frames refused because every slot was held
    uint64_t encodes = 0;
    size_t slots = 0;
};

// The newest frame always wins: the camera takes any unreferenced slot, and readers always ask
// for the newest frame, so a reader that falls behind skips frames instead of queueing them.
// Threads: publish() on the camera thread; acquire/release/grow on the I/O thread; the encode
// calls on the encoder thread. Each call holds the mutex only for bookkeeping, never for a copy.
class FramePool {
public:
    FramePool(const DibFormat& format, size_t slots);

    const DibFormat& format() const { return m_format; }

    // Copies one frame in and makes it the newest; false (frame dropped) when no slot is free.
    bool publish(const uint8_t* rows, int64_t timestampUs);

    // The newest frame (with a reference) when its sequence number is above `afterSeq`.
    FrameSlot* acquireRaw(uint64_t afterSeq);
    FrameSlot* acquireJpeg(uint64_t afterSeq);
    void release(FrameSlot* slot);
    uint64_t newestSeq();
    uint64_t newestJpegSeq();

    // Readers that hold old frames must never leave the camera without a free slot: the I/O
    // thread keeps `headroom` slots free, adding slots up to `cap` (allocated outside the lock,
    // never on the camera's thread). Returns how many slots are free afterwards.
    size_t keepFree(size_t headroom, size_t cap);
    // Frees up to `count` unreferenced slots, never going below `resting` slots in all, so the
    // pool returns to its resting size once the demand has gone.
    void trim(size_t count, size_t resting);

    // Encoder side: set how many readers want JPEG; the encoder sleeps while none do.
    void setJpegDemand(int readers);
    // Blocks until a newer frame needs encoding (returns it referenced) or shutdown (nullptr).
    FrameSlot* waitForEncodeWork(uint64_t lastEncodedSeq);
    void finishEncode(FrameSlot* slot, size_t jpegSize);
    void shutdown();

    PoolCounters counters();

private:
    void dropRefLocked(FrameSlot*& slot);

    const DibFormat m_format;
    std::mutex m_mutex;
    std::condition_variable m_encodeWake;
    std::vector<std::unique_ptr<FrameSlot>> m_slots;
    FrameSlot* m_newestRaw = nullptr;  // holds one reference
    FrameSlot* m_newestJpeg = nullptr; // holds one reference
    uint64_t m_seq = 0;
    int m_jpegDemand = 0;
    bool m_shutdown = false;
    PoolCounters m_counters;
};

} // namespace tavrel

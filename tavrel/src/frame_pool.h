// FramePool: reference-counted frame slots shared by the camera, the encoder and the I/O thread.
#pragma once

#include "dib_format.h"
#include "mapped_buffer.h"

#include "jpeg_codec.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tavrel {

// One raw frame. Read-only while anyone holds a reference.
struct FrameSlot {
    // Pages of its own, so a slot that the pool lets go is given back to the system at once
    // (the C library would keep a freed block of this size for later), and a slot never
    // written costs no resident memory.
    MappedBuffer raw; // exactly one frame's pixel bytes
    uint64_t seq = 0; // 1, 2, ... in camera order; 0 while the slot is being filled
    int64_t timestampUs = 0;
    int refs = 0; // guarded by the pool's mutex
    // Guarded by the pool's mutex: its pages were written and not given back since, and it
    // was written since the last trim.
    bool resident = false;
    bool usedSinceTrim = false;
};

// One frame's JPEG, apart from its raw rows: a JPEG viewer holds only this while sending, so
// it costs the server the encoded bytes, not a raw frame. Read-only while referenced.
struct EncodedFrame {
    MappedBuffer bytes; // worst-case capacity; only the pages written are resident
    size_t size = 0;
    uint64_t seq = 0; // the raw frame's sequence number
    int64_t timestampUs = 0;
    int refs = 0; // guarded by the pool's mutex
};

struct PoolCounters {
    uint64_t published = 0;
    uint64_t dropped = 0; // frames refused because every slot was held
    uint64_t encodes = 0;
    uint64_t passedThrough = 0; // frames whose JPEG came from the camera, not the encoder
    uint64_t unwatched = 0;     // frames offered while nobody watched: neither copied nor encoded
    uint64_t keepsakes = 0;     // frames kept as a JPEG alone while nobody watched
    size_t slots = 0;
    size_t encodedBuffers = 0;
};

// The newest frame always wins: the camera takes any unreferenced slot, and readers always ask
// for the newest frame, so a reader that falls behind skips frames instead of queueing them.
// Threads: publish() on the camera thread; acquire/release/grow on the I/O thread; the encode
// calls on the encoder thread. Each call holds the mutex only for bookkeeping, never for a copy.
//
// While nobody watches (the server says so once no viewer or snapshot has come for a while)
// frames are neither copied nor encoded: an open server then costs next to nothing. So that a
// snapshot of a camera that has gone quiet still shows a picture, one frame in a while (every
// kKeepsakeEvery, and the first after a pause) is kept as a JPEG alone, encoded on the camera's
// thread; it stands as the newest JPEG.
class FramePool {
public:
    FramePool(const DibFormat& format, size_t slots);

    const DibFormat& format() const { return m_format; }

    enum class Published { Kept, Dropped, Unwatched, Refused };
    // Copies one frame of `bytes` bytes in and makes it the newest; Dropped when no slot is
    // free. A JPEG staged before it is that frame's JPEG. While nobody watches, nothing is
    // copied (Unwatched), unless the frame becomes the keepsake (Kept). A frame that is not
    // one of the pool's format (another size: a camera that came back smaller) is Refused
    // without a byte of it being read, and the JPEG staged for it is dropped.
    Published publish(const uint8_t* rows, size_t bytes, int64_t timestampUs);
    // I/O thread: whether frames are wanted (watched at first).
    void setWatched(bool watched);
    // The frame a snapshot asked for now must show: the newest kept, or the next one when the
    // camera has offered newer frames that nobody kept. 0 when the camera never offered any.
    uint64_t snapshotSeq();
    // Whether the newest raw frame has no JPEG yet (the encoder will make one).
    bool encodePending();
    // How long since the camera last offered a frame (kept or not); max() before the first.
    std::chrono::steady_clock::duration sinceLastOffer() const;

    static constexpr std::chrono::seconds kKeepsakeEvery{3};
    static constexpr std::chrono::milliseconds kPauseBeforeKeepsake{500};
    // Camera thread, just before publish(): the camera's own JPEG of the frame about to be
    // published, completed and copied into a JPEG buffer, so that frame is not encoded again.
    // False (the frame is then encoded as usual) when the picture cannot be passed on as is;
    // true, doing nothing, when nobody watches and the frame will not be kept.
    bool stageJpeg(const uint8_t* jpeg, size_t size);

    // The newest frame (with a reference) when its sequence number is above `afterSeq`.
    FrameSlot* acquireRaw(uint64_t afterSeq);
    EncodedFrame* acquireJpeg(uint64_t afterSeq);
    void release(FrameSlot* slot);
    void release(EncodedFrame* jpeg);
    uint64_t newestSeq();
    uint64_t newestJpegSeq();

    // Readers that hold old frames must never leave the camera without a free slot: the I/O
    // thread keeps `headroom` slots free, adding slots up to `cap` (allocated outside the lock,
    // never on the camera's thread). Returns how many slots are free afterwards.
    size_t keepFree(size_t headroom, size_t cap);
    // Frees up to `count` unreferenced slots, never going below `resting` slots in all, so the
    // pool returns to its resting size once the demand has gone. The pages of slots kept that
    // nobody wrote since the last call are given back (a camera at rest writes only two). JPEG
    // buffers that stayed free since the last call are let go too, down to their own resting
    // count.
    void trim(size_t count, size_t resting);

    // Encoder side: set how many readers want JPEG; the encoder sleeps while none do.
    void setJpegDemand(int readers);
    // Blocks until a newer frame needs encoding (returns it referenced) or shutdown (nullptr).
    FrameSlot* waitForEncodeWork(uint64_t lastEncodedSeq);
    // A free JPEG buffer (referenced), adding one (allocated outside the lock) while fewer than
    // the cap exist; nullptr when every buffer is held, and the frame is then not encoded.
    EncodedFrame* takeEncodeBuffer();
    // Drops the encoder's reference to `slot`; a non-zero size makes `out` the newest JPEG.
    void finishEncode(FrameSlot* slot, EncodedFrame* out, size_t jpegSize);
    void shutdown();

    PoolCounters counters();

    // JPEG buffers: at most this many (viewers each hold one at most), and this many kept
    // through quiet spells (the newest JPEG and the one being written).
    static constexpr size_t kMaxEncodedBuffers = 128;
    static constexpr size_t kRestingEncodedBuffers = 2;

private:
    template <typename T> void dropRefLocked(T*& slot);
    // trim()'s bookkeeping; the slots whose pages are to go are returned held in `idle`.
    void trimSlots(size_t count, size_t resting, std::vector<FrameSlot*>& idle);

    const DibFormat m_format;
    std::mutex m_mutex;
    std::condition_variable m_encodeWake;
    std::vector<std::unique_ptr<FrameSlot>> m_slots;
    std::vector<std::unique_ptr<EncodedFrame>> m_encoded;
    size_t m_encodedLowFree = SIZE_MAX;   // fewest JPEG buffers left free since the last trim
    FrameSlot* m_newestRaw = nullptr;     // holds one reference
    EncodedFrame* m_newestJpeg = nullptr; // holds one reference
    EncodedFrame* m_staged = nullptr;     // holds one reference until the next publish()
    uint64_t m_seq = 0;
    int m_jpegDemand = 0;
    bool m_shutdown = false;
    PoolCounters m_counters;

    // Unwatched frames. m_watched is written by the I/O thread, read by the camera's;
    // m_skippedSinceKept is guarded by the mutex; the rest belong to the camera thread, but
    // the time of the last offer is read by the I/O thread.
    bool keepsakeDue(std::chrono::steady_clock::time_point now) const;
    Published keepJpegOnly(const uint8_t* rows, int64_t timestampUs);
    std::atomic<bool> m_watched{true};
    bool m_skippedSinceKept = false;
    std::atomic<std::chrono::steady_clock::rep> m_lastOffer{0}; // 0: none yet
    std::chrono::steady_clock::time_point m_lastKeepsake{};
    JpegEncoder m_keepsakeEncoder;
};

} // namespace tavrel

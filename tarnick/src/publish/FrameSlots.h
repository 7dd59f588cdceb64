// FrameSlots: a small pool of frame buffers, allocated once before use, between one producer
// that must never wait (the camera's thread) and one consumer that may be slow (the encoder's
// thread).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class FrameSlots {
public:
    static constexpr int kDefaultSlots = 3;

    // Any thread, while no consumer holds a slot: slots for frames of `frameBytes`, their
    // buffers not yet allocated (frames are refused until allocate()); empties the queue.
    void reset(std::size_t frameBytes, int count = kDefaultSlots);
    // Consumer thread: gives every slot its buffer when it has none (the only allocation; the
    // steady state allocates nothing). False when memory ran out.
    bool allocate();
    // Consumer thread, holding no slot: frees every buffer (nothing is wanted meanwhile).
    void freeBuffers();
    // The bytes the slots' buffers hold now.
    std::size_t allocatedBytes() const;

    // Producer thread. Copies the frame into a free slot and wakes the consumer; never waits.
    // With no free slot the oldest queued frame gives its slot to this one (the newest wins);
    // a frame that cannot be taken at all (the pool is being reset) is dropped. Every frame
    // lost either way is counted. A frame of another size than the slots', or one coming
    // while the buffers are not allocated, is refused (not counted). False when this frame was
    // not queued.
    bool push(const unsigned char* frame, std::size_t bytes, std::int64_t captureUs);

    // Consumer thread. The oldest queued slot, now owned by the caller until release(); -1
    // when none came within `waitMs`.
    int take(int waitMs);
    const unsigned char* data(int slot) const { return m_slots[std::size_t(slot)].bytes.data(); }
    std::int64_t captureUs(int slot) const { return m_slots[std::size_t(slot)].captureUs; }
    void release(int slot);
    // Consumer thread: forgets every queued frame (not counted as dropped: nobody wanted them).
    void discardQueued();
    // Wakes a consumer waiting in take() (stopping).
    void wake();

    // Frames lost because the consumer was behind.
    long dropped() const;
    std::size_t frameBytes() const { return m_frameBytes; }

private:
    enum class SlotState { Free, Queued, Taken };
    struct Slot {
        std::vector<unsigned char> bytes;
        std::int64_t captureUs = 0;
        std::uint64_t sequence = 0;
        SlotState state = SlotState::Free;
    };

    mutable std::mutex m_lock;
    std::condition_variable m_queued;
    std::vector<Slot> m_slots;
    std::size_t m_frameBytes = 0;
    bool m_allocated = false; // guarded by m_lock
    std::uint64_t m_nextSequence = 0;
    std::atomic<long> m_dropped{0};
    bool m_woken = false;
};

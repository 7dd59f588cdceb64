// CSampleCB: the callback object a CVideo registers with its sample grabber; its lifetime is
// the CVideo's, not reference counting.
#pragma once

#include <platform/media/sample_grabber.h>

#include <atomic>

class CVideo;

class CSampleCB final : public ISampleGrabberCB {
public:
    // `compressed`: the object serves the grabber ahead of the decoder, and hands its samples
    // to the owner's compressed-sample path.
    explicit CSampleCB(CVideo* owner, bool compressed = false)
        : m_pOwner(owner), m_bCompressed(compressed) {}
    CSampleCB(const CSampleCB&) = delete;
    CSampleCB& operator=(const CSampleCB&) = delete;
    ~CSampleCB() = default;

    HRESULT QueryInterface(REFIID riid, void** object) override;
    // Counting nothing: the owner deletes this object after detaching it from the grabber.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT SampleCB(double sampleTime, IMediaSample* sample) override;
    // Runs on the graph's streaming thread, once per sample.
    HRESULT BufferCB(double sampleTime, BYTE* buffer, LONG length) override;

    // Cuts the object off from its owner while the graph may still deliver: later samples are
    // dropped. Any thread. Afterwards WaitOutside() waits for a sample already in OnSample.
    void DetachOwner() { m_pOwner.store(nullptr, std::memory_order_seq_cst); }
    // Waits until no thread but the caller is inside the owner's OnSample. Called on the
    // streaming thread itself (inside the callback) it returns at once.
    void WaitOutside() const;

private:
    std::atomic<CVideo*> m_pOwner;
    std::atomic<int> m_nInside{0};
    const bool m_bCompressed;
};

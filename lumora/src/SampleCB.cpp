// CSampleCB: forwards each buffered sample to its CVideo.
#include "SampleCB.h"

#include "lumora/Video.h"

#include <thread>

namespace {
// The callback object whose BufferCB the calling thread is running, if any.
thread_local const CSampleCB* tInside = nullptr;
} // namespace

HRESULT CSampleCB::QueryInterface(REFIID riid, void** object) {
    if (riid == IID_ISampleGrabberCB || riid == IID_IUnknown) {
        *object = static_cast<ISampleGrabberCB*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT CSampleCB::SampleCB(double, IMediaSample*) {
    return S_OK;
}

// Streaming thread. The count is raised before the owner is read, so WaitOutside, run after
// DetachOwner, either sees this call or this call sees no owner.
HRESULT CSampleCB::BufferCB(double, BYTE* buffer, LONG length) {
    m_nInside.fetch_add(1, std::memory_order_seq_cst);
    if (CVideo* owner = m_pOwner.load(std::memory_order_seq_cst)) {
        const CSampleCB* outer = tInside;
        tInside = this;
        if (m_bCompressed)
            owner->OnCompressedSample(buffer, length);
        else
            owner->OnSample(buffer, length);
        tInside = outer;
    }
    m_nInside.fetch_sub(1, std::memory_order_release);
    return S_OK;
}

void CSampleCB::WaitOutside() const {
    const int self = tInside == this ? 1 : 0;
    while (m_nInside.load(std::memory_order_seq_cst) > self)
        std::this_thread::yield();
}

// CSampleCB: forwards each buffered sample to its CVideo.
#include "SampleCB.h"

#include "lumora/Video.h"

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

HRESULT CSampleCB::BufferCB(double, BYTE* buffer, LONG length) {
    m_pOwner->OnSample(buffer, length);
    return S_OK;
}

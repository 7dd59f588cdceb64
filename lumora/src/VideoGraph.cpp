// Filter graph utilities and teardown of a capture-device object.
#include "MediaTypeHelpers.h"
#include "ReleaseMember.h"
#include "RetiredCapture.h"
#include "SampleCB.h"
#include "lumora/Video.h"

#include <platform/com_ptr.h>
#include <platform/media/media.h>

#include <atomic>

using platform::ComPtr;

namespace {

// A value that is no pin direction, so a failed QueryDirection never matches.
constexpr PIN_DIRECTION kNoDirection = static_cast<PIN_DIRECTION>(3);

} // namespace

HRESULT CVideo::GetInterfaces() {
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(&m_pGraph));
    if (FAILED(hr))
        return hr;
    hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC,
                          IID_ICaptureGraphBuilder2, reinterpret_cast<void**>(&m_pCapBuilder));
    if (FAILED(hr))
        return hr;
    hr = m_pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_pMediaControl));
    if (FAILED(hr))
        return hr;
    return m_pCapBuilder->SetFiltergraph(m_pGraph);
}

void CVideo::CloseInterfaces() {
    // Stopping first means no streaming thread runs into the objects released below.
    if (m_pMediaControl)
        m_pMediaControl->StopWhenReady();
    releaseAndClear(m_pSource);
    releaseAndClear(m_pMediaControl);
    releaseAndClear(m_pGraph);
    releaseAndClear(m_pCapBuilder);
}

void CVideo::Release() {
    CaptureEnd();
    if (IsRunning()) {
        // CaptureEnd could not stop the graph: this runs inside the frame callback, on the
        // streaming thread the stop would wait for. The object lets go of the running graph
        // now (no later sample reaches it) and a thread of its own stops and frees it once
        // the callback has returned.
        if (m_pSampleCB) {
            m_pSampleCB->DetachOwner();
            m_pSampleCB->WaitOutside();
        }
        if (m_pTapCB) {
            m_pTapCB->DetachOwner();
            m_pTapCB->WaitOutside();
        }
        retireCapture({m_pMediaControl, m_pGraph, m_pCapBuilder, m_pSource, m_pGrabberFilter,
                       m_pGrabber, m_pStreamConfig, m_pMux, m_pFileSink, m_pSampleCB, m_pBitmapInfo,
                       m_pTapFilter, m_pTap, m_pTapCB});
        m_pMediaControl = nullptr;
        m_pGraph = nullptr;
        m_pCapBuilder = nullptr;
        m_pSource = nullptr;
        m_pGrabberFilter = nullptr;
        m_pGrabber = nullptr;
        m_pStreamConfig = nullptr;
        m_pMux = nullptr;
        m_pFileSink = nullptr;
        m_pSampleCB = nullptr;
        m_pBitmapInfo = nullptr;
        m_pTapFilter = nullptr;
        m_pTap = nullptr;
        m_pTapCB = nullptr;
        m_strFileName.Empty();
        std::atomic_ref<BOOL>(m_bRunning).store(FALSE, std::memory_order_relaxed);
    }
    releaseAndClear(m_pStreamConfig);
    CloseInterfaces();
    m_nCapInfNum = 0;
    m_strDevicePath.Empty();
    m_strFriendlyName.Empty();
    m_nDeviceIndex = -1;
}

HRESULT CVideo::AddFilter(IGraphBuilder* graph, const GUID& clsid, LPCWSTR name,
                          IBaseFilter** out) {
    *out = nullptr;
    IBaseFilter* filter = nullptr;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&filter));
    if (FAILED(hr))
        return hr;
    hr = graph->AddFilter(filter, name);
    if (FAILED(hr)) {
        filter->Release();
        return hr;
    }
    *out = filter; // the creation reference passes to the caller
    return hr;
}

HRESULT CVideo::GetUnconnectedPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** out) {
    *out = nullptr;
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(pins.GetAddressOf());
    if (FAILED(hr))
        return hr;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION pinDirection = kNoDirection;
        pin->QueryDirection(&pinDirection);
        if (pinDirection == direction) {
            IPin* peer = nullptr;
            if (FAILED(pin->ConnectedTo(&peer))) {
                *out = pin; // keeps its reference
                return S_OK;
            }
            peer->Release();
        }
        pin->Release();
    }
    return E_FAIL;
}

HRESULT CVideo::ConnectFilters(IGraphBuilder* graph, IBaseFilter* upstream,
                               IBaseFilter* downstream) {
    IPin* out = nullptr;
    HRESULT hr = GetUnconnectedPin(upstream, PINDIR_OUTPUT, &out);
    if (FAILED(hr))
        return hr;
    IPin* in = nullptr;
    hr = GetUnconnectedPin(downstream, PINDIR_INPUT, &in);
    if (FAILED(hr)) {
        out->Release();
        return hr;
    }
    hr = graph->Connect(out, in);
    out->Release();
    in->Release();
    return hr;
}

HRESULT CVideo::GetPin(IBaseFilter* filter, PIN_DIRECTION direction, int index, IPin** out) {
    *out = nullptr;
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(pins.GetAddressOf());
    if (FAILED(hr))
        return hr;
    hr = E_FAIL;
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION pinDirection = kNoDirection;
        pin->QueryDirection(&pinDirection);
        if (pinDirection == direction && index-- == 0) {
            *out = pin;
            hr = S_OK;
            break;
        }
        pin->Release();
    }
    return hr;
}

IPin* CVideo::GetInPin(IBaseFilter* filter, int index) {
    IPin* pin = nullptr;
    GetPin(filter, PINDIR_INPUT, index, &pin);
    return pin;
}

IPin* CVideo::GetOutPin(IBaseFilter* filter, int index) {
    IPin* pin = nullptr;
    GetPin(filter, PINDIR_OUTPUT, index, &pin);
    return pin;
}

// Depth first: the filters furthest downstream leave the graph first.
void CVideo::ReleaseDownstream(IBaseFilter* filter) {
    if (!filter || !m_pGraph)
        return;
    ComPtr<IEnumPins> pins;
    if (filter->EnumPins(pins.GetAddressOf()) != S_OK || !pins)
        return;
    pins->Reset();
    IPin* raw = nullptr;
    while (pins->Next(1, &raw, nullptr) == S_OK) {
        if (!raw)
            continue;
        auto pin = ComPtr<IPin>::adopt(raw);
        IPin* rawPeer = nullptr;
        if (pin->ConnectedTo(&rawPeer) != S_OK || !rawPeer)
            continue;
        auto peer = ComPtr<IPin>::adopt(rawPeer);
        PIN_INFO info{};
        if (peer->QueryPinInfo(&info) != S_OK)
            break;
        auto peerFilter = ComPtr<IBaseFilter>::adopt(info.pFilter);
        if (info.dir == PINDIR_INPUT) {
            ReleaseDownstream(peerFilter.Get());
            m_pGraph->Disconnect(peer.Get());
            m_pGraph->Disconnect(pin.Get());
            m_pGraph->RemoveFilter(peerFilter.Get());
        }
    }
}

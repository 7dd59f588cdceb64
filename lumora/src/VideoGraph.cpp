// Filter graph utilities and teardown of a capture-device object.
#include "MediaTypeHelpers.h"
#include "ReleaseMember.h"
#include "lumora/Video.h"

#include <platform/com_ptr.h>
#include <platform/media/media.h>

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

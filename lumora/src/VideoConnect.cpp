// Connecting a capture device and negotiating its video format: the capability table, the
// capture graph ending in the sample grabber, and the format and rate of the capture pin.
#include "BoundDevice.h"
#include "MediaTypeHelpers.h"
#include "ReleaseMember.h"
#include "SampleCB.h"
#include "lumora/Video.h"

#include <platform/com_ptr.h>
#include <platform/media/media.h>

#include <cstring>

using platform::ComPtr;

namespace {

// The capture pin's stream configuration, found afresh through the capture graph builder.
HRESULT findStreamConfig(ICaptureGraphBuilder2* builder, IBaseFilter* source,
                         IAMStreamConfig** config) {
    *config = nullptr;
    if (!builder || !source)
        return E_POINTER;
    return builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, source,
                                  IID_IAMStreamConfig, reinterpret_cast<void**>(config));
}

// The VIDEOINFOHEADER of a type, when it carries one of full size.
VIDEOINFOHEADER* videoInfo(AM_MEDIA_TYPE* mt) {
    if (!mt || mt->formattype != FORMAT_VideoInfo || !mt->pbFormat ||
        mt->cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<VIDEOINFOHEADER*>(mt->pbFormat);
}

} // namespace

// Names the bound device as the list has it. The lookups that ran before binding compare
// case-sensitively and fall back to the first device, while binding ignores case: without
// this a path or name in another case would record another device's name and path.
void CVideo::RecordBoundDevice(const tVideoDev& dev) {
    m_strDevicePath = dev.szDevicePath;
    m_strFriendlyName = dev.szFriendlyName;
    m_nDeviceIndex = dev.nIndex;
}

int CVideo::Connect(const char* devicePath) {
    if (!m_strFriendlyName.IsEmpty() || !m_strDevicePath.IsEmpty())
        return -1;
    if (FAILED(GetInterfaces())) {
        CloseInterfaces();
        return -1;
    }
    const CString path =
        devicePath && *devicePath ? CString(devicePath) : GetDevicePath(nullptr, 0);
    m_strFriendlyName = GetDeviceFriendlyName(path, &m_nDeviceIndex);
    if (!BindCaptureDevice(path)) {
        Release();
        return -1;
    }
    m_nCapInfNum = InitVideoCapInf();
    if (m_nCapInfNum <= 0) {
        Release();
        return -1;
    }
    m_strDevicePath = path;
    CArray<tVideoDev, tVideoDev&> devices;
    tVideoDev bound{};
    if (GetCaptureDeviceList(devices) > 0 && findBoundDevice(devices, path, &bound))
        RecordBoundDevice(bound);
    CaptureInit(m_VideoInf.nWidth, m_VideoInf.nHeight, m_VideoInf.nBitCount,
                m_VideoInf.llFrameInterval);
    return 0;
}

int CVideo::Connect(const char* friendlyName, int index) {
    if (FAILED(GetInterfaces())) {
        CloseInterfaces();
        return -1;
    }
    CString name;
    if (friendlyName && *friendlyName) {
        name = friendlyName;
    } else {
        name = GetDeviceFriendlyName(nullptr, nullptr);
        index = 0;
    }
    m_strDevicePath = GetDevicePath(name, index);
    if (!BindCaptureDevice(name, index)) {
        Release();
        return -1;
    }
    m_nCapInfNum = InitVideoCapInf();
    if (m_nCapInfNum <= 0) {
        Release();
        return -1;
    }
    m_strFriendlyName = name;
    m_nDeviceIndex = index;
    CArray<tVideoDev, tVideoDev&> devices;
    tVideoDev bound{};
    if (GetCaptureDeviceList(devices) > 0 && findBoundDevice(devices, name, index, &bound))
        RecordBoundDevice(bound);
    CaptureInit(m_VideoInf.nWidth, m_VideoInf.nHeight, m_VideoInf.nBitCount,
                m_VideoInf.llFrameInterval);
    return 0;
}

int CVideo::InitVideoCapInf() {
    if (!m_pSource)
        return -1;
    ComPtr<IAMStreamConfig> config;
    if (FAILED(findStreamConfig(m_pCapBuilder, m_pSource, config.GetAddressOf())))
        return -1;
    AM_MEDIA_TYPE* current = nullptr;
    if (FAILED(config->GetFormat(&current)))
        return -1;
    if (const VIDEOINFOHEADER* info = videoInfo(current)) {
        m_VideoInf.nBitCount = info->bmiHeader.biBitCount;
        m_VideoInf.nWidth = info->bmiHeader.biWidth;
        m_VideoInf.nHeight = info->bmiHeader.biHeight;
        m_VideoInf.llFrameInterval = info->AvgTimePerFrame;
    }
    DeleteMediaType(current);

    int count = 0, size = 0;
    if (FAILED(config->GetNumberOfCapabilities(&count, &size)))
        count = 0;
    // GetStreamCaps writes `size` bytes: a device asking for more than the block we pass
    // is not read at all.
    if (count <= 0 || size > int(sizeof(VIDEO_STREAM_CONFIG_CAPS)))
        return 0;
    std::memset(m_CapInf, 0, sizeof(m_CapInf));
    m_nCapInfNum = 0;
    for (int i = 0; i < count && m_nCapInfNum < CAPINF_MAX; ++i) {
        VIDEO_STREAM_CONFIG_CAPS caps{};
        AM_MEDIA_TYPE* mt = nullptr;
        if (FAILED(config->GetStreamCaps(i, &mt, reinterpret_cast<BYTE*>(&caps))))
            break;
        if (const VIDEOINFOHEADER* info = videoInfo(mt)) {
            tVideoCapInf& entry = m_CapInf[m_nCapInfNum++];
            entry.nBitCount = info->bmiHeader.biBitCount;
            entry.nMaxWidth = caps.MaxOutputSize.cx;
            entry.nMaxHeight = caps.MaxOutputSize.cy;
            entry.nMinWidth = caps.MinOutputSize.cx;
            entry.nMinHeight = caps.MinOutputSize.cy;
            entry.llMaxFrameInterval = caps.MaxFrameInterval;
            entry.llMinFrameInterval = caps.MinFrameInterval;
        }
        DeleteMediaType(mt);
    }
    return m_nCapInfNum;
}

// A device that sends MJPEG gets a pass-through grabber ahead of the decoder, so its own
// pictures can be handed on as they came (CaptureInit, graph stopped). Only while someone
// wants them: `*tap` stays null without a compressed-sample callback, and for any other
// format, and the graph is then built exactly as before.
HRESULT CVideo::AddCompressedTap(IBaseFilter** tap) {
    *tap = nullptr;
    void* param = nullptr;
    if (!LoadCompressedCallBack(&param))
        return S_FALSE;
    ComPtr<IAMStreamConfig> config;
    if (FAILED(findStreamConfig(m_pCapBuilder, m_pSource, config.GetAddressOf())))
        return S_FALSE;
    AM_MEDIA_TYPE* format = nullptr;
    if (config->GetFormat(&format) != S_OK || !format)
        return S_FALSE;
    const bool mjpeg = format->majortype == MEDIATYPE_Video && format->subtype == MEDIASUBTYPE_MJPG;
    DeleteMediaType(format);
    if (!mjpeg)
        return S_FALSE;
    if (FAILED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&m_pTapFilter))) ||
        FAILED(m_pTapFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&m_pTap))))
        return E_FAIL;
    AM_MEDIA_TYPE tapType{};
    tapType.majortype = MEDIATYPE_Video;
    tapType.subtype = MEDIASUBTYPE_MJPG;
    tapType.formattype = FORMAT_VideoInfo;
    if (FAILED(m_pTap->SetMediaType(&tapType)) ||
        FAILED(m_pGraph->AddFilter(m_pTapFilter, u"Compressed Tap")))
        return E_FAIL;
    m_pTapCB = new CSampleCB(this, /*compressed=*/true);
    m_pTap->SetBufferSamples(FALSE);
    m_pTap->SetOneShot(FALSE);
    m_pTap->SetCallback(m_pTapCB, 1);
    *tap = m_pTapFilter;
    return S_OK;
}

int CVideo::CaptureInit(int width, int height, int bitCount, LONGLONG frameInterval) {
    if (m_nOpenMode != OPEN_DEVICE)
        return -1;
    CaptureEnd();
    if (IsRunning())
        return -1; // the graph could not be stopped here (inside the frame callback)
    m_llFrameInterval = frameInterval;

    const tVideoCapInf* entry = nullptr;
    for (int i = 0; i < m_nCapInfNum && i < CAPINF_MAX && !entry; ++i) {
        const tVideoCapInf& c = m_CapInf[i];
        if (c.nMinWidth <= width && width <= c.nMaxWidth && c.nMinHeight <= height &&
            height <= c.nMaxHeight && c.nBitCount == bitCount)
            entry = &c;
    }
    if (!entry)
        return -1;
    if (m_llFrameInterval < entry->llMinFrameInterval)
        m_llFrameInterval = entry->llMinFrameInterval;
    else if (m_llFrameInterval > entry->llMaxFrameInterval)
        m_llFrameInterval = entry->llMaxFrameInterval;

    auto fail = [this] {
        CaptureEnd();
        return -1;
    };
    if (!m_pGraph || FAILED(m_pGraph->AddFilter(m_pSource, u"Video Capture")))
        return fail();
    if (FAILED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&m_pGrabberFilter))) ||
        FAILED(m_pGrabberFilter->QueryInterface(IID_ISampleGrabber,
                                                reinterpret_cast<void**>(&m_pGrabber))))
        return fail();

    // The grabber takes uncompressed RGB only: 32 bits when asked for, 24 for anything else.
    AM_MEDIA_TYPE grabberType{};
    grabberType.majortype = MEDIATYPE_Video;
    grabberType.subtype = bitCount == 32 ? MEDIASUBTYPE_RGB32 : MEDIASUBTYPE_RGB24;
    grabberType.formattype = FORMAT_VideoInfo;
    const int grabberBits = bitCount == 32 ? 32 : 24;
    if (FAILED(m_pGrabber->SetMediaType(&grabberType)))
        return fail();
    if (FAILED(m_pGraph->AddFilter(m_pGrabberFilter, u"Sample Grabber")))
        return fail();
    if (FAILED(SetVideoInf(width, height, grabberBits, m_llFrameInterval)))
        return fail();
    // Device -> (compressed tap) -> decoder and converters -> grabber.
    IBaseFilter* tap = nullptr;
    if (FAILED(AddCompressedTap(&tap)))
        return fail();
    if (FAILED(m_pCapBuilder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, m_pSource, tap,
                                           m_pGrabberFilter)))
        return fail();

    AM_MEDIA_TYPE connected{};
    if (FAILED(m_pGrabber->GetConnectedMediaType(&connected)))
        return fail();
    const VIDEOINFOHEADER* info = videoInfo(&connected);
    BITMAPINFO header{};
    if (info)
        header.bmiHeader = info->bmiHeader;
    // The connected type is freed as soon as the frame has been made from it.
    FreeMediaType(connected);
    if (!info || !(m_pBitmapInfo = DupBitmap(&header)))
        return fail();

    m_pSampleCB = new CSampleCB(this);
    m_pGrabber->SetBufferSamples(FALSE);
    m_pGrabber->SetOneShot(FALSE);
    m_pGrabber->SetCallback(m_pSampleCB, 1);

    // The frame rate, set on the capture pin now that the graph stands.
    ComPtr<IAMStreamConfig> config;
    if (FAILED(findStreamConfig(m_pCapBuilder, m_pSource, config.GetAddressOf())))
        return 0;
    AM_MEDIA_TYPE* format = nullptr;
    if (config->GetFormat(&format) != S_OK)
        return 0;
    if (VIDEOINFOHEADER* current = videoInfo(format)) {
        current->AvgTimePerFrame = m_llFrameInterval;
        if (FAILED(config->SetFormat(format))) {
            DeleteMediaType(format);
            config.reset();
            CaptureEnd();
            return -1;
        }
    }
    DeleteMediaType(format);
    return 0;
}

int CVideo::CaptureInit(const char*) {
    return CaptureInit(m_VideoInf.nWidth, m_VideoInf.nHeight, m_VideoInf.nBitCount,
                       m_VideoInf.llFrameInterval);
}

int CVideo::CaptureInit(VIDEOINFOHEADER* format) {
    if (!format)
        return -1;
    return CaptureInit(format->bmiHeader.biWidth, format->bmiHeader.biHeight,
                       format->bmiHeader.biBitCount, format->AvgTimePerFrame);
}

HRESULT CVideo::SetVideoInf(int width, int height, int bitCount, LONGLONG frameInterval) {
    if (!m_pSource)
        return -1;
    releaseAndClear(m_pStreamConfig);
    if (HRESULT hr = findStreamConfig(m_pCapBuilder, m_pSource, &m_pStreamConfig); FAILED(hr))
        return hr;
    auto applied = [&](AM_MEDIA_TYPE* mt, VIDEOINFOHEADER* info) {
        info->bmiHeader.biWidth = width;
        info->bmiHeader.biHeight = height;
        info->AvgTimePerFrame = frameInterval;
        const HRESULT hr = m_pStreamConfig->SetFormat(mt);
        m_VideoInf = {bitCount, width, height, frameInterval};
        DeleteMediaType(mt);
        return hr;
    };
    int count = 0, size = 0;
    m_pStreamConfig->GetNumberOfCapabilities(&count, &size);
    if (size > int(sizeof(VIDEO_STREAM_CONFIG_CAPS)))
        count = 0; // a caps block larger than ours is never written into it
    for (int i = 0; i < count; ++i) {
        VIDEO_STREAM_CONFIG_CAPS caps{};
        AM_MEDIA_TYPE* mt = nullptr;
        if (HRESULT hr = m_pStreamConfig->GetStreamCaps(i, &mt, reinterpret_cast<BYTE*>(&caps));
            FAILED(hr))
            return hr;
        VIDEOINFOHEADER* info = videoInfo(mt);
        if (info && caps.MinFrameInterval <= frameInterval &&
            frameInterval <= caps.MaxFrameInterval && caps.MinOutputSize.cx <= width &&
            width <= caps.MaxOutputSize.cx && caps.MinOutputSize.cy <= height &&
            height <= caps.MaxOutputSize.cy && info->bmiHeader.biBitCount == bitCount)
            return applied(mt, info);
        DeleteMediaType(mt);
    }
    // No capability of that depth: keep the pin's current subtype and depth at the new size
    // and rate; the graph then converts to what the grabber takes.
    AM_MEDIA_TYPE* current = nullptr;
    if (HRESULT hr = m_pStreamConfig->GetFormat(&current); FAILED(hr))
        return hr;
    VIDEOINFOHEADER* info = videoInfo(current);
    if (!info) {
        DeleteMediaType(current);
        return E_FAIL;
    }
    return applied(current, info);
}

int CVideo::GetVideoCapInf(tVideoCapInf* list, int max) {
    if (m_nOpenMode != OPEN_DEVICE || !list || max <= 0)
        return -1;
    int copied = 0;
    for (; copied < max && copied < m_nCapInfNum && copied < CAPINF_MAX; ++copied)
        list[copied] = m_CapInf[copied];
    return copied;
}

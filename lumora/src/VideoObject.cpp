// CVideo object: construction, copying, open modes, accessors and library start-up.
#include "lumora/Video.h"

#include <platform/com.h>

#include <algorithm>

namespace {

// The library initialises COM for the thread that loads it (the program's main thread) and
// releases it when unloaded; no member initialises COM itself.
__attribute__((constructor)) void lumoraAttach() {
    CoInitialize(nullptr);
}
__attribute__((destructor)) void lumoraDetach() {
    CoUninitialize();
}

// Version of the library and the product it ships in, readable with `strings`.
[[gnu::used]] const char kVersionInfo[] =
    "Lumora file version 1.0.0.0, product Ormidal 1.0.0.9, Lumora.dll";

} // namespace

// The accessors defined in the header are also exported, so a program built against an
// older header still finds them in the library.
[[gnu::used]] static const auto kExportIsOpen = &CVideo::IsOpen;
[[gnu::used]] static const auto kExportGetOpenMode = &CVideo::GetOpenMode;
[[gnu::used]] static const auto kExportIsRunning = &CVideo::IsRunning;
[[gnu::used]] static const auto kExportGetVideoInf = &CVideo::GetVideoInf;
[[gnu::used]] static const auto kExportGetBitmapInfoPtr = &CVideo::GetBitmapInfoPtr;
[[gnu::used]] static const auto kExportGetFrameInterval = &CVideo::GetFrameInterval;
[[gnu::used]] static const auto kExportSetSampleCallBack = &CVideo::SetSampleCallBack;

CVideo::CVideo()
    : m_nOpenMode(OPEN_CLOSED), m_nDeviceIndex(-1), m_pGraph(nullptr), m_pCapBuilder(nullptr),
      m_pMediaControl(nullptr), m_pSource(nullptr), m_pGrabberFilter(nullptr), m_pGrabber(nullptr),
      m_pStreamConfig(nullptr), m_pMux(nullptr), m_pFileSink(nullptr), m_pSeeking(nullptr),
      m_pSampleCB(nullptr), m_CapInf{}, m_nCapInfNum(0), m_VideoInf{}, m_pBitmapInfo(nullptr),
      m_llFrameInterval(333333), m_llFrameCount(0), m_bRunning(FALSE), m_llFirstFrame(0),
      m_llPlayFrame(0), m_pfnSampleCallBack(nullptr), m_pSampleCallBackParam(nullptr),
      m_pTapFilter(nullptr), m_pTap(nullptr), m_pTapCB(nullptr), m_pfnCompressedCallBack(nullptr),
      m_pCompressedCallBackParam(nullptr) {}

CVideo::CVideo(const CVideo& other) : CVideo() {
    *this = other;
}

// Takes every plain value of `other`; what an open source owns (graph references, the frame
// block, the callback object, the bound device) stays with `other`, so this object is
// closed afterwards. For a closed source that is a memberwise copy.
CVideo& CVideo::operator=(const CVideo& other) {
    if (this == &other)
        return *this;
    Close();
    const bool otherClosed = other.m_nOpenMode == OPEN_CLOSED;
    std::copy(std::begin(other.m_CapInf), std::end(other.m_CapInf), std::begin(m_CapInf));
    m_nCapInfNum = otherClosed ? other.m_nCapInfNum : 0;
    m_VideoInf = other.m_VideoInf;
    m_llFrameInterval = other.m_llFrameInterval;
    m_llFrameCount = otherClosed ? other.m_llFrameCount : 0;
    m_llFirstFrame = other.m_llFirstFrame;
    m_llPlayFrame = otherClosed ? other.m_llPlayFrame : 0;
    void* param = nullptr;
    const SampleCallBack callBack = other.LoadSampleCallBack(&param);
    StoreSampleCallBack(callBack, param);
    void* compressedParam = nullptr;
    const CompressedSampleCallBack compressed = other.LoadCompressedCallBack(&compressedParam);
    SetCompressedSampleCallBack(compressed, compressedParam);
    return *this;
}

CVideo::~CVideo() {
    Close();
}

int CVideo::Open(int mode, const char* name, int index) {
    if (mode != OPEN_DEVICE && mode != OPEN_FILE)
        return -1;

    Close();
    // The connection steps and CaptureInit check the mode, so it is set before connecting.
    m_nOpenMode = mode;
    int result;
    if (mode == OPEN_FILE)
        result = FileOpen(name);
    else if (index < 0)
        result = Connect(name);
    else
        result = Connect(name, index);

    if (result != 0)
        Close();
    return result;
}

void CVideo::Close() {
    if (m_nOpenMode == OPEN_DEVICE)
        Release();
    else if (m_nOpenMode == OPEN_FILE)
        FileClose();
    m_nOpenMode = OPEN_CLOSED;
}

int CVideo::IsConnect() {
    return !m_strFriendlyName.IsEmpty() || !m_strDevicePath.IsEmpty();
}

CString CVideo::GetFileName() {
    return m_strFileName;
}

LONGLONG CVideo::GetFrameCount() {
    // Written by the streaming thread for every sample.
    return std::atomic_ref<LONGLONG>(m_llFrameCount).load(std::memory_order_relaxed);
}

// File playback: the playback graph (file source, splitter and decoders, converter, sample
// grabber, renderer), play, pause, stop and seeking by frame.
#include "MediaTypeHelpers.h"
#include "ReleaseMember.h"
#include "SampleCB.h"
#include "lumora/Video.h"

#include <platform/media/media.h>
#include <platform/text.h>

#include <atomic>
#include <cstdlib>

namespace {

// UTF-16 capacity of a file path, terminator included.
constexpr int kPathChars = 260;

} // namespace

int CVideo::FileOpen(const char* fileName) {
    auto fail = [this](int code) {
        FileClose();
        return code;
    };
    WCHAR widePath[kPathChars];
    if (!fileName || !*fileName ||
        MultiByteToWideChar(CP_ACP, 0, fileName, -1, widePath, kPathChars) == 0)
        return fail(-3);
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void**>(&m_pGraph))))
        return fail(-3);
    IBaseFilter* grabber = nullptr;
    if (FAILED(CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&grabber))))
        return fail(-3);
    if (FAILED(m_pGraph->AddFilter(grabber, u"Sample Grabber"))) {
        grabber->Release();
        return fail(-3);
    }
    m_pGrabberFilter = grabber;
    if (FAILED(m_pGrabberFilter->QueryInterface(IID_ISampleGrabber,
                                                reinterpret_cast<void**>(&m_pGrabber))))
        return fail(-3);
    AM_MEDIA_TYPE rgb{};
    rgb.majortype = MEDIATYPE_Video;
    rgb.subtype = MEDIASUBTYPE_RGB24;
    rgb.formattype = FORMAT_VideoInfo;
    m_pGrabber->SetMediaType(&rgb);

    if (FAILED(AddFilter(m_pGraph, CLSID_AsyncReader, u"Source", &m_pSource)))
        return fail(-3);
    IFileSourceFilter* fileSource = nullptr;
    if (FAILED(m_pSource->QueryInterface(IID_IFileSourceFilter,
                                         reinterpret_cast<void**>(&fileSource))))
        return fail(-3);
    const HRESULT loaded = fileSource->Load(widePath, nullptr);
    fileSource->Release();
    if (FAILED(loaded))
        return fail(-3);
    if (FAILED(ConnectFilters(m_pGraph, m_pSource, m_pGrabberFilter)))
        return fail(-3);
    IPin* grabberOut = GetOutPin(m_pGrabberFilter, 0);
    if (!grabberOut)
        return fail(-3);
    const HRESULT rendered = m_pGraph->Render(grabberOut);
    grabberOut->Release();
    if (FAILED(rendered))
        return fail(-3);
    if (FAILED(m_pGraph->QueryInterface(IID_IMediaControl,
                                        reinterpret_cast<void**>(&m_pMediaControl))) ||
        FAILED(m_pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&m_pSeeking))))
        return fail(-3);
    if (FAILED(m_pSeeking->SetTimeFormat(&TIME_FORMAT_FRAME)))
        return fail(-3);
    LONGLONG earliest = 0, latest = 0;
    if (FAILED(m_pSeeking->GetAvailable(&earliest, &latest)))
        return fail(-3);
    m_llFrameCount = latest - earliest >= 0 ? latest - earliest + 1 : 0;
    m_llFirstFrame = m_llPlayFrame = earliest;
    m_strFileName = fileName;
    IVideoWindow* window = nullptr;
    if (SUCCEEDED(m_pGraph->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(&window)))) {
        window->put_AutoShow(FALSE);
        window->Release();
    }
    m_pGrabber->SetBufferSamples(TRUE);
    m_pSampleCB = new CSampleCB(this);
    m_pGrabber->SetCallback(m_pSampleCB, 1);
    if (FAILED(m_pSeeking->SetPositions(&m_llPlayFrame, AM_SEEKING_AbsolutePositioning, nullptr,
                                        AM_SEEKING_NoPositioning)))
        return fail(-3);
    OAFilterState state = State_Stopped;
    if (FAILED(m_pMediaControl->StopWhenReady()) ||
        FAILED(m_pMediaControl->GetState(INFINITE_TIMEOUT, &state)))
        return fail(-3);
    LONG bufferSize = 0;
    if (FAILED(m_pGrabber->GetCurrentBuffer(&bufferSize, nullptr)))
        return fail(-3);
    AM_MEDIA_TYPE connected{};
    if (FAILED(m_pGrabber->GetConnectedMediaType(&connected)))
        return fail(-3);
    BITMAPINFO* header = nullptr;
    if (connected.formattype == FORMAT_VideoInfo && connected.pbFormat &&
        connected.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(connected.pbFormat);
        m_llFrameInterval = vih->AvgTimePerFrame;
        header = DupBitmapInfo(reinterpret_cast<const BITMAPINFO*>(&vih->bmiHeader));
    }
    FreeMediaType(connected);
    if (!header)
        return fail(-2);
    // A sample can never be copied past the frame: the frame grows to the buffered sample.
    if (bufferSize > 0 && DWORD(bufferSize) > header->bmiHeader.biSizeImage)
        header->bmiHeader.biSizeImage = DWORD(bufferSize);
    m_pBitmapInfo = DupBitmap(header);
    ReleaseBitmap(header);
    if (!m_pBitmapInfo)
        return fail(-2);
    return 0;
}

// The graph stops before the callback is detached, and the callback is detached before it
// and the frame are freed, so no sample arrives into freed memory.
void CVideo::FileClose() {
    PlayStop();
    if (m_pMediaControl)
        m_pMediaControl->Stop(); // paused, or cued: no streaming thread may stay behind
    if (m_pSampleCB) {
        if (m_pGrabber)
            m_pGrabber->SetCallback(nullptr, 1);
        delete m_pSampleCB;
        m_pSampleCB = nullptr;
    }
    releaseAndClear(m_pSeeking);
    releaseAndClear(m_pMediaControl);
    releaseAndClear(m_pSource);
    releaseAndClear(m_pGrabberFilter);
    releaseAndClear(m_pGrabber);
    releaseAndClear(m_pGraph);
    std::free(m_pBitmapInfo);
    m_pBitmapInfo = nullptr;
    m_llPlayFrame = 0;
    m_llFrameCount = 0;
    m_strFileName.Empty();
}

int CVideo::PlayStart() {
    if (m_nOpenMode != OPEN_FILE || !m_pMediaControl)
        return -1;
    if (SUCCEEDED(m_pMediaControl->Run())) {
        std::atomic_ref<BOOL>(m_bRunning).store(TRUE, std::memory_order_relaxed);
        return 0;
    }
    PlayStop();
    return -1;
}

void CVideo::PlayStop() {
    if (m_nOpenMode != OPEN_FILE || !IsRunning() || !m_pMediaControl)
        return;
    m_pMediaControl->Stop();
    SetPlayPos(0);
    std::atomic_ref<BOOL>(m_bRunning).store(FALSE, std::memory_order_relaxed);
}

void CVideo::PlayPause() {
    if (m_nOpenMode != OPEN_FILE || !IsRunning() || !m_pMediaControl)
        return;
    m_pMediaControl->Pause();
    std::atomic_ref<BOOL>(m_bRunning).store(FALSE, std::memory_order_relaxed);
}

LONGLONG CVideo::SetPlayPos(LONGLONG frame) {
    if (m_nOpenMode != OPEN_FILE || !m_pSeeking)
        return -1;
    if (FAILED(m_pSeeking->SetPositions(&frame, AM_SEEKING_AbsolutePositioning, nullptr,
                                        AM_SEEKING_NoPositioning)))
        return -1;
    OAFilterState state = State_Stopped;
    if (!m_pMediaControl || FAILED(m_pMediaControl->StopWhenReady()) ||
        FAILED(m_pMediaControl->GetState(INFINITE_TIMEOUT, &state)))
        return -1;
    return frame;
}

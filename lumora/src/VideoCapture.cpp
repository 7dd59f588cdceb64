// Capture start, stop and teardown of the capture graph.
//
// The recording branch and the compressor list join this file with the file writer; until
// then a start with a file name fails cleanly, building nothing.
#include "ReleaseMember.h"
#include "SampleCB.h"
#include "lumora/Video.h"

#include <platform/kernel.h>
#include <platform/media/media.h>
#include <platform/text.h>

#include <atomic>
#include <cstdlib>

namespace {

// UTF-16 capacity of a file name, terminator included.
constexpr int kPathChars = 260;

} // namespace

int CVideo::CaptureStart(const char* fileName, const char* /*compressorName*/) {
    if (m_nOpenMode != OPEN_DEVICE || IsRunning() || !m_pMediaControl)
        return -1;
    // Undoing a failed start is the stop sequence, with m_bRunning still clear.
    auto undo = [this] {
        std::atomic_ref<BOOL>(m_bRunning).store(TRUE, std::memory_order_relaxed);
        CaptureStop();
        return -1;
    };
    if (fileName && *fileName) {
        WCHAR wideName[kPathChars];
        if (MultiByteToWideChar(CP_ACP, 0, fileName, -1, wideName, kPathChars) == 0)
            return -1;
        releaseAndClear(m_pMux);
        releaseAndClear(m_pFileSink);
        if (!m_pCapBuilder ||
            FAILED(m_pCapBuilder->SetOutputFileName(&MEDIASUBTYPE_Avi, wideName, &m_pMux,
                                                    &m_pFileSink)) ||
            FAILED(m_pCapBuilder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, m_pSource,
                                               nullptr, m_pMux)))
            return undo();
        m_strFileName = fileName;
    }
    // The graph is stopped: no streaming thread reads the counter now.
    m_llFrameCount = 0;
    if (FAILED(m_pMediaControl->Run()))
        return undo();
    std::atomic_ref<BOOL>(m_bRunning).store(TRUE, std::memory_order_relaxed);
    return 0;
}

void CVideo::CaptureStop() {
    if (m_nOpenMode != OPEN_DEVICE || !IsRunning())
        return;
    std::atomic_ref<BOOL>(m_bRunning).store(FALSE, std::memory_order_relaxed);
    if (m_pMediaControl) {
        // Stop returns once streaming has ended; the wait covers a graph still on its way.
        m_pMediaControl->Stop();
        OAFilterState state = State_Running;
        while (SUCCEEDED(m_pMediaControl->GetState(10000, &state)) && state == State_Running) {
        }
    }
    // The file writer may still be flushing: give it a second before letting go of it.
    Sleep(1000);
    releaseAndClear(m_pMux);
    releaseAndClear(m_pFileSink);
    m_strFileName.Empty();
}

// The graph is stopped before the callback is detached, and the callback detached before it
// and the frame are freed, so no sample arrives into freed memory.
void CVideo::CaptureEnd() {
    if (m_nOpenMode != OPEN_DEVICE)
        return;
    CaptureStop();
    if (m_pSampleCB) {
        if (m_pGrabber)
            m_pGrabber->SetCallback(nullptr, 1);
        delete m_pSampleCB;
        m_pSampleCB = nullptr;
    }
    if (m_pGraph) {
        if (m_pGrabberFilter)
            m_pGraph->RemoveFilter(m_pGrabberFilter);
        if (m_pSource)
            m_pGraph->RemoveFilter(m_pSource);
    }
    releaseAndClear(m_pGrabber);
    releaseAndClear(m_pGrabberFilter);
    std::free(m_pBitmapInfo);
    m_pBitmapInfo = nullptr;
}

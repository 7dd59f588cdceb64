// Capture start, stop and teardown of the capture graph, recording to a file, and the list of
// video compressors.
#include "ReleaseMember.h"
#include "SampleCB.h"
#include "lumora/Video.h"

#include <platform/com_ptr.h>
#include <platform/kernel.h>
#include <platform/media/media.h>
#include <platform/text.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <vector>

using platform::ComPtr;

namespace {

// UTF-16 capacity of a file name, terminator included.
constexpr int kPathChars = 260;
// A compressor name in the system code page, terminator included.
constexpr int kNameBytes = 256;

// The filters a stream passes on its way into `filter`, and `filter` itself.
void collectUpstream(IBaseFilter* filter, std::set<IBaseFilter*>& found) {
    if (!filter || !found.insert(filter).second)
        return;
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.GetAddressOf())) || !pins)
        return;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        PIN_DIRECTION direction = PINDIR_OUTPUT;
        ComPtr<IPin> peer;
        if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_INPUT ||
            FAILED(pin->ConnectedTo(peer.GetAddressOf())) || !peer)
            continue;
        PIN_INFO info{};
        if (SUCCEEDED(peer->QueryPinInfo(&info)) && info.pFilter) {
            collectUpstream(info.pFilter, found);
            info.pFilter->Release();
        }
    }
}

// The monikers of the video compressor category, or null with the result that ended the
// search (the enumerator's failure, or S_FALSE for an empty category). `created` tells
// whether the system device enumerator itself could be made.
ComPtr<IEnumMoniker> videoCompressors(HRESULT* result, bool* created = nullptr) {
    ComPtr<ICreateDevEnum> devices;
    *result =
        CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                         reinterpret_cast<void**>(devices.GetAddressOf()));
    if (created)
        *created = SUCCEEDED(*result);
    if (FAILED(*result))
        return nullptr;
    ComPtr<IEnumMoniker> monikers;
    *result =
        devices->CreateClassEnumerator(CLSID_VideoCompressorCategory, monikers.GetAddressOf(), 0);
    return *result == S_OK ? monikers : nullptr;
}

// A compressor's friendly name in the system code page. A name of more than 255 bytes does
// not fit the caller's buffers: such a compressor is skipped rather than shown cut short.
bool friendlyName(IMoniker* moniker, char (&name)[kNameBytes]) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                      reinterpret_cast<void**>(bag.GetAddressOf()))))
        return false;
    VARIANT value;
    VariantInit(&value);
    bool ok =
        SUCCEEDED(bag->Read(u"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR &&
        value.bstrVal &&
        WideCharToMultiByte(CP_ACP, 0, value.bstrVal, -1, name, kNameBytes, nullptr, nullptr) != 0;
    VariantClear(&value);
    return ok;
}

} // namespace

// Removes what earlier recordings left in the graph: every filter except the device and the
// chain that feeds the sample grabber. A stopped recording's multiplexer still holds its
// finished file; running it again would write a new file over it.
static void dropRecordingBranch(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* grabber) {
    if (!graph)
        return;
    std::set<IBaseFilter*> keep{source};
    collectUpstream(grabber, keep);
    std::vector<ComPtr<IBaseFilter>> leftovers;
    ComPtr<IEnumFilters> filters;
    if (FAILED(graph->EnumFilters(filters.GetAddressOf())) || !filters)
        return;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK)
        if (!keep.contains(filter.Get()))
            leftovers.push_back(filter);
    for (auto& leftover : leftovers)
        graph->RemoveFilter(leftover.Get());
}

int CVideo::CaptureStart(const char* fileName, const char* compressorName) {
    // Without the grabber graph (a failed CaptureInit) running would deliver nothing.
    if (m_nOpenMode != OPEN_DEVICE || IsRunning() || !m_pMediaControl || !m_pSampleCB)
        return -1;
    // Undoing a failed start is the stop sequence, with m_bRunning still clear; what the
    // failed start added to the graph leaves it too.
    auto undo = [this] {
        std::atomic_ref<BOOL>(m_bRunning).store(TRUE, std::memory_order_relaxed);
        CaptureStop();
        // A graph that refused to run also refuses the stop on that thread; it is not running.
        std::atomic_ref<BOOL>(m_bRunning).store(FALSE, std::memory_order_relaxed);
        dropRecordingBranch(m_pGraph, m_pSource, m_pGrabberFilter);
        return -1;
    };
    WCHAR wideName[kPathChars];
    const bool recording = fileName && *fileName;
    if (recording && MultiByteToWideChar(CP_ACP, 0, fileName, -1, wideName, kPathChars) == 0)
        return -1;
    dropRecordingBranch(m_pGraph, m_pSource, m_pGrabberFilter);
    if (recording) {
        if (compressorName && *compressorName) {
            IBaseFilter* compressor = nullptr;
            if (GetCompressFilter(compressorName, &compressor) >= 0 && compressor) {
                m_pGraph->AddFilter(compressor, u"Compress");
                compressor->Release(); // the graph holds it from here on
            }
        }
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

// Stops the graph and waits, for at most ten seconds, until it no longer reports running.
// False when it is still running: the graph refuses a stop asked on its own streaming thread
// (from inside the frame callback), since the stop would wait for that very call to return.
static bool stopGraph(IMediaControl* control) {
    if (FAILED(control->Stop()))
        return false;
    constexpr DWORD kWaitMs = 10000;
    const DWORD start = GetTickCount();
    OAFilterState state = State_Running;
    while (SUCCEEDED(control->GetState(100, &state)) && state == State_Running) {
        if (GetTickCount() - start >= kWaitMs)
            return false;
        Sleep(10);
    }
    return true;
}

// A stop that cannot happen now (asked inside the frame callback) returns at once and
// changes nothing: IsRunning still answers 1 and frames keep coming.
void CVideo::CaptureStop() {
    if (m_nOpenMode != OPEN_DEVICE || !IsRunning())
        return;
    if (m_pMediaControl && !stopGraph(m_pMediaControl))
        return;
    std::atomic_ref<BOOL>(m_bRunning).store(FALSE, std::memory_order_relaxed);
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
    if (IsRunning())
        return; // still running (asked inside the frame callback): nothing it uses may go
    if (m_pSampleCB) {
        if (m_pGrabber)
            m_pGrabber->SetCallback(nullptr, 1);
        delete m_pSampleCB;
        m_pSampleCB = nullptr;
    }
    if (m_pTapCB) {
        if (m_pTap)
            m_pTap->SetCallback(nullptr, 1);
        delete m_pTapCB;
        m_pTapCB = nullptr;
    }
    if (m_pGraph) {
        // Everything the build put behind the device (tee, converters, the grabber) leaves
        // with it; the next build inserts its own.
        ReleaseDownstream(m_pSource);
        if (m_pGrabberFilter)
            m_pGraph->RemoveFilter(m_pGrabberFilter);
        if (m_pTapFilter)
            m_pGraph->RemoveFilter(m_pTapFilter);
        if (m_pSource)
            m_pGraph->RemoveFilter(m_pSource);
    }
    releaseAndClear(m_pGrabber);
    releaseAndClear(m_pGrabberFilter);
    releaseAndClear(m_pTap);
    releaseAndClear(m_pTapFilter);
    std::free(m_pBitmapInfo);
    m_pBitmapInfo = nullptr;
}

int CVideo::GetCompressFilterList(char** names, int max) {
    if (max <= 0)
        return 0;
    // Only a device enumerator that cannot be made is an error; a category that cannot be
    // enumerated lists no names.
    HRESULT hr = S_OK;
    bool created = false;
    ComPtr<IEnumMoniker> monikers = videoCompressors(&hr, &created);
    if (!created)
        return hr;
    int count = 0;
    ComPtr<IMoniker> moniker;
    while (monikers && count < max &&
           monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        char name[kNameBytes];
        if (!names[count] || !friendlyName(moniker.Get(), name))
            continue;
        _mbsnbcpy_s(reinterpret_cast<unsigned char*>(names[count]), kNameBytes,
                    reinterpret_cast<const unsigned char*>(name), kNameBytes - 1);
        ++count;
    }
    return count;
}

HRESULT CVideo::GetCompressFilter(const char* name, IBaseFilter** out) {
    if (!name) {
        if (out)
            *out = nullptr;
        return S_OK;
    }
    HRESULT hr = S_OK;
    ComPtr<IEnumMoniker> monikers = videoCompressors(&hr);
    if (!monikers)
        return hr;
    ComPtr<IMoniker> moniker;
    while ((hr = monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr)) == S_OK) {
        char candidate[kNameBytes];
        if (friendlyName(moniker.Get(), candidate) && _stricmp(candidate, name) == 0)
            return moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                         reinterpret_cast<void**>(out));
    }
    return hr;
}

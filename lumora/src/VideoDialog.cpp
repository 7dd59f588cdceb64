// The device's dialogs: its property pages, and the capture pin's stream-format pages with
// the format read back afterwards.
#include "MediaTypeHelpers.h"
#include "lumora/Video.h"

#include <platform/com_ptr.h>
#include <platform/media/camera_interfaces.h>
#include <platform/media/media.h>
#include <platform/text.h>
#include <platform/ui.h>

using platform::ComPtr;

namespace {

// Captions cross to the platform as UTF-16 in a buffer of this many units, terminator
// included; a longer caption does not convert and the frame gets none.
constexpr int kCaptionUnits = 128;

// The caption converted into `buffer`, or null when there is none or it does not fit.
LPCOLESTR convertCaption(const char* caption, WCHAR (&buffer)[kCaptionUnits]) {
    if (!caption)
        return nullptr;
    const int units = MultiByteToWideChar(CP_ACP, 0, caption, -1, buffer, kCaptionUnits);
    return units > 0 ? buffer : nullptr;
}

// The VIDEOINFOHEADER of a type, when it carries one of full size.
const VIDEOINFOHEADER* videoInfo(const AM_MEDIA_TYPE* mt) {
    if (!mt || mt->formattype != FORMAT_VideoInfo || !mt->pbFormat ||
        mt->cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(mt->pbFormat);
}

// The pages an object names, freed with the task allocator as the caller must.
struct PageList {
    CAUUID pages{0, nullptr};
    PageList() = default;
    PageList(const PageList&) = delete;
    PageList& operator=(const PageList&) = delete;
    ~PageList() { CoTaskMemFree(pages.pElems); }
};

// The modal frame over one object. Its result is not examined: what counts is what the
// user changed on the device, or the format the pin reports afterwards.
void showFrame(HWND parent, LPCOLESTR caption, IUnknown* object, const CAUUID& pages) {
    IUnknown* objects[] = {object};
    OleCreatePropertyFrame(parent, 0, 0, caption, 1, objects, pages.cElems, pages.pElems, 0, 0,
                           nullptr);
}

} // namespace

int CVideo::ShowPropertyDialog(HWND parent, const char* caption) {
    if (m_nOpenMode != OPEN_DEVICE || !IsWindow(parent) || !m_pSource)
        return -1;
    WCHAR buffer[kCaptionUnits];
    LPCOLESTR title = convertCaption(caption, buffer);

    ComPtr<ISpecifyPropertyPages> specify;
    if (FAILED(m_pSource->QueryInterface(IID_ISpecifyPropertyPages,
                                         reinterpret_cast<void**>(specify.GetAddressOf()))))
        return 0; // a device without pages: nothing to show
    // Without a caption of its own the frame takes the filter's name in the graph (empty
    // while it is in none); a caption that was given but did not convert stays absent.
    FILTER_INFO info{};
    if (!caption) {
        m_pSource->QueryFilterInfo(&info);
        info.achName[MAX_FILTER_NAME - 1] = 0;
        title = info.achName;
    }
    // Adopts the graph reference FILTER_INFO carries, so every way out releases it.
    const auto graph = ComPtr<IFilterGraph>::adopt(info.pGraph);

    ComPtr<IUnknown> object;
    if (FAILED(m_pSource->QueryInterface(IID_IUnknown,
                                         reinterpret_cast<void**>(object.GetAddressOf()))))
        return -1;
    PageList pages;
    if (SUCCEEDED(specify->GetPages(&pages.pages)))
        showFrame(parent, title, object.Get(), pages.pages);
    return 0;
}

int CVideo::CheckShowPropertyDialog() {
    if (m_nOpenMode != OPEN_DEVICE || !m_pSource)
        return 0;
    ComPtr<ISpecifyPropertyPages> specify;
    return SUCCEEDED(m_pSource->QueryInterface(IID_ISpecifyPropertyPages,
                                               reinterpret_cast<void**>(specify.GetAddressOf())))
               ? 1
               : 0;
}

int CVideo::GetStreamFormat(tVideoInf& inf, HWND parent, const char* caption) {
    if (m_nOpenMode != OPEN_DEVICE || !IsWindow(parent) || !m_pSource)
        return -1;
    int result = 1;
    // The pin can take another size only once nothing is connected behind it; the graph
    // stays this way until the caller rebuilds it with CaptureInit.
    ReleaseDownstream(m_pSource);
    WCHAR buffer[kCaptionUnits];
    const LPCOLESTR title = convertCaption(caption, buffer);

    ComPtr<IAMStreamConfig> config;
    if (!m_pCapBuilder ||
        FAILED(m_pCapBuilder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, m_pSource,
                                            IID_IAMStreamConfig,
                                            reinterpret_cast<void**>(config.GetAddressOf()))))
        return 1;
    ComPtr<ISpecifyPropertyPages> specify;
    if (FAILED(config->QueryInterface(IID_ISpecifyPropertyPages,
                                      reinterpret_cast<void**>(specify.GetAddressOf()))))
        return -1;
    PageList pages;
    if (FAILED(specify->GetPages(&pages.pages)))
        return 1;
    showFrame(parent, title, config.Get(), pages.pages);

    // Confirmed or cancelled alike: the format in force now is the answer.
    if (m_pStreamConfig) {
        AM_MEDIA_TYPE* format = nullptr;
        if (SUCCEEDED(m_pStreamConfig->GetFormat(&format))) {
            if (const VIDEOINFOHEADER* info = videoInfo(format)) {
                inf.nBitCount = info->bmiHeader.biBitCount;
                inf.nWidth = info->bmiHeader.biWidth;
                inf.nHeight = info->bmiHeader.biHeight;
                inf.llFrameInterval = info->AvgTimePerFrame;
                result = 0;
            }
            DeleteMediaType(format);
        }
    }
    return result;
}

int CVideo::ShowStreamFormatDialog(HWND parent, const char* caption) {
    tVideoInf inf{};
    const int result = GetStreamFormat(inf, parent, caption);
    if (result < 0)
        return -1;
    if (result == 0)
        CaptureInit(inf.nWidth, inf.nHeight, inf.nBitCount, inf.llFrameInterval);
    return 0;
}

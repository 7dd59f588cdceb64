// TestPatternSource (CLSID_TestPatternSource): a push source of a moving pattern in YUY2, MJPG
// or RGB24, copying pre-rendered pictures so that what it costs is one copy per frame.
#include "media/base/media_type.h"
#include "media/base/source_filter.h"
#include "media/sources/test_pattern/pattern_frames.h"

#include <platform/com_registry.h>
#include <platform/media/filter_classes.h>

#include <atomic>
#include <cstring>

namespace platform::media {

namespace {

constexpr int kPatternFrames = 8;
constexpr LONG kPoolBuffers = 4;

class TestPatternSource final : public SourceFilter, public ITestPatternSource {
public:
    TestPatternSource() : SourceFilter(CLSID_TestPatternSource, u"Output") {
        SetFormat(MEDIASUBTYPE_YUY2, 320, 240, UNITS / 30);
    }
    PLATFORM_FORWARD_IUNKNOWN(SourceFilter)

    // Control thread, while stopped and unconnected.
    HRESULT SetFormat(const GUID& subtype, LONG width, LONG height,
                      REFERENCE_TIME avgTimePerFrame) override {
        if (width <= 0 || height <= 0 || width > 4096 || height > 4096 || avgTimePerFrame < 0 ||
            (subtype == MEDIASUBTYPE_YUY2 && width % 2))
            return E_INVALIDARG;
        std::lock_guard lock(stateLock());
        if (state() != State_Stopped || output().isConnected())
            return VFW_E_WRONG_STATE;
        auto frames = renderPatternFrames(subtype, width, height, kPatternFrames);
        if (frames.empty() || frames.front().empty())
            return E_INVALIDARG;
        BITMAPINFOHEADER header{};
        header.biWidth = width;
        header.biHeight = height;
        header.biPlanes = 1;
        header.biBitCount = subtype == MEDIASUBTYPE_YUY2 ? 16 : 24;
        header.biCompression = subtype == MEDIASUBTYPE_YUY2   ? makeFourCC('Y', 'U', 'Y', '2')
                               : subtype == MEDIASUBTYPE_MJPG ? makeFourCC('M', 'J', 'P', 'G')
                                                              : BI_RGB;
        header.biSizeImage = DWORD(patternFrameSize(subtype, width, height));
        type_ = MediaType::video(subtype, header, avgTimePerFrame);
        if (subtype == MEDIASUBTYPE_MJPG) {
            type_.get().bFixedSizeSamples = FALSE;
            type_.get().bTemporalCompression = FALSE;
        }
        frames_ = std::move(frames);
        interval_ = avgTimePerFrame;
        return S_OK;
    }

    HRESULT SetPaced(BOOL paced) override {
        std::lock_guard lock(stateLock());
        if (state() != State_Stopped)
            return VFW_E_WRONG_STATE;
        paced_ = paced != FALSE;
        return S_OK;
    }

    HRESULT GetFramesDelivered(LONGLONG* frames) override {
        if (!frames)
            return E_POINTER;
        *frames = filled_.load(std::memory_order_relaxed);
        return S_OK;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_ITestPatternSource) {
            *object = static_cast<ITestPatternSource*>(this);
            return S_OK;
        }
        return SourceFilter::queryOther(riid, object);
    }

    HRESULT checkMediaType(const BasePin&, const AM_MEDIA_TYPE& mt) override {
        std::lock_guard lock(stateLock());
        const AM_MEDIA_TYPE& own = type_.get();
        return mt.majortype == own.majortype && mt.subtype == own.subtype &&
                       mt.formattype == own.formattype && mt.cbFormat == own.cbFormat &&
                       std::memcmp(mt.pbFormat, own.pbFormat, own.cbFormat) == 0
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }

    HRESULT getMediaType(const BasePin&, int position, MediaType& mt) override {
        if (position != 0)
            return VFW_S_NO_MORE_ITEMS;
        std::lock_guard lock(stateLock());
        mt = type_;
        return S_OK;
    }

    HRESULT decideBufferSize(OutputPin&, ALLOCATOR_PROPERTIES& props) override {
        std::lock_guard lock(stateLock());
        props.cBuffers = kPoolBuffers;
        props.cbBuffer = LONG(type_.videoInfo()->bmiHeader.biSizeImage);
        for (const auto& frame : frames_)
            props.cbBuffer = std::max<LONG>(props.cbBuffer, LONG(frame.size()));
        props.cbAlign = 1;
        return S_OK;
    }

    // Streaming thread: the format cannot change while it runs.
    void onStreamStart() override {
        next_ = 0;
        filled_.store(0, std::memory_order_relaxed);
        epoch_ = std::chrono::steady_clock::now();
    }

    HRESULT fillBuffer(IMediaSample& sample) override {
        if (paced_ && interval_ > 0) {
            const auto due = epoch_ + std::chrono::nanoseconds(next_ * interval_ * 100);
            if (!sleepUntil(due))
                return S_FALSE;
        }
        const auto& frame = frames_[size_t(next_ % kPatternFrames)];
        BYTE* data = nullptr;
        sample.GetPointer(&data);
        if (LONG(frame.size()) > sample.GetSize())
            return E_UNEXPECTED;
        std::memcpy(data, frame.data(), frame.size());
        sample.SetActualDataLength(LONG(frame.size()));
        REFERENCE_TIME start = next_ * interval_, end = start + interval_;
        sample.SetTime(&start, &end);
        sample.SetSyncPoint(TRUE);
        ++next_;
        filled_.fetch_add(1, std::memory_order_relaxed);
        return S_OK;
    }

private:
    ~TestPatternSource() override { Stop(); }

    MediaType type_;
    std::vector<std::vector<BYTE>> frames_;
    REFERENCE_TIME interval_ = 0;
    bool paced_ = false;
    LONGLONG next_ = 0;
    std::atomic<LONGLONG> filled_{0};
    std::chrono::steady_clock::time_point epoch_;
};

const ClassRegistration registration{CLSID_TestPatternSource, createInstance<TestPatternSource>};

} // namespace

} // namespace platform::media

// TestPatternCamera: the built-in camera drawing moving bars, a counter, the capture time and
// the machine-readable strip, in YUY2, RGB24 or MJPG, paced by the graph clock as a real
// sensor is: a frame whose time passed while downstream was busy is dropped, never delayed.
#include "media/sources/capture/capture_source.h"
#include "media/sources/test_pattern/pattern_jpeg.h"
#include "media/sources/test_pattern/pattern_renderer.h"

#include <platform/com_registry.h>
#include <platform/media/test_pattern_camera.h>

#include <cstdlib>

#include <atomic>
#include <chrono>
#include <time.h>

namespace platform::media {
namespace {

constexpr LONG kSizes[][2] = {{160, 120}, {320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
constexpr REFERENCE_TIME kFastest = UNITS / 60;
constexpr REFERENCE_TIME kSlowest = UNITS;

std::vector<CaptureCapability> capabilitiesFor(const TestPatternOptions& options) {
    std::vector<CaptureCapability> list;
    for (const GUID& subtype : options.subtypes) {
        const bool yuy2 = subtype == MEDIASUBTYPE_YUY2, mjpg = subtype == MEDIASUBTYPE_MJPG;
        if (!yuy2 && !mjpg && subtype != MEDIASUBTYPE_RGB24)
            continue;
        const WORD bits = yuy2 ? 16 : 24;
        const DWORD compression = yuy2   ? makeFourCC('Y', 'U', 'Y', '2')
                                  : mjpg ? makeFourCC('M', 'J', 'P', 'G')
                                         : BI_RGB;
        for (const auto& size : kSizes)
            list.push_back({subtype, bits, compression, size[0], size[0], 1, size[1], size[1], 1,
                            kFastest, kSlowest});
    }
    return list;
}

MediaType initialFormat(const std::vector<CaptureCapability>& capabilities) {
    if (capabilities.empty())
        return MediaType();
    // 640x480 at 30 fps of the first format, as a webcam starts.
    return CaptureSource::typeFor(capabilities[2 < capabilities.size() ? 2 : 0], 640, 480,
                                  UNITS / 30);
}

// CLOCK_MONOTONIC in 100-ns units, the graph clock's and the strip's time base.
REFERENCE_TIME monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return REFERENCE_TIME(now.tv_sec) * UNITS + now.tv_nsec / 100;
}

struct ProcAmpRange {
    LONG min, max, defaultValue;
};

class TestPatternCamera final : public CaptureSource, public IAMVideoProcAmp {
public:
    explicit TestPatternCamera(const TestPatternOptions& options)
        : CaptureSource(CLSID_TestPatternCamera, capabilitiesFor(options),
                        initialFormat(capabilitiesFor(options))),
          paced_(options.paced) {}
    PLATFORM_FORWARD_IUNKNOWN(CaptureSource)

    // IAMVideoProcAmp, control threads: the picture adjustments the renderer applies.
    HRESULT GetRange(LONG property, LONG* min, LONG* max, LONG* step, LONG* defaultValue,
                     LONG* capsFlags) override {
        if (!min || !max || !step || !defaultValue || !capsFlags)
            return E_POINTER;
        const ProcAmpRange* range = rangeOf(property);
        if (!range)
            return E_PROP_ID_UNSUPPORTED;
        *min = range->min;
        *max = range->max;
        *step = 1;
        *defaultValue = range->defaultValue;
        *capsFlags = VideoProcAmp_Flags_Manual;
        return S_OK;
    }
    HRESULT Set(LONG property, LONG value, LONG flags) override {
        const ProcAmpRange* range = rangeOf(property);
        if (!range)
            return E_PROP_ID_UNSUPPORTED;
        if (flags & VideoProcAmp_Flags_Auto || value < range->min || value > range->max)
            return E_INVALIDARG;
        std::lock_guard lock(settingsLock_);
        *field(settings_, property) = int(value);
        return S_OK;
    }
    HRESULT Get(LONG property, LONG* value, LONG* flags) override {
        if (!value || !flags)
            return E_POINTER;
        if (!rangeOf(property))
            return E_PROP_ID_UNSUPPORTED;
        std::lock_guard lock(settingsLock_);
        *value = *field(settings_, property);
        *flags = VideoProcAmp_Flags_Manual;
        return S_OK;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IAMVideoProcAmp) {
            *object = static_cast<IAMVideoProcAmp*>(this);
            return S_OK;
        }
        return CaptureSource::queryOther(riid, object);
    }

    // Control thread, state lock held: every buffer the frames need is made here, so
    // fillBuffer allocates nothing.
    HRESULT onActivate() override {
        const VIDEOINFOHEADER* info = format().videoInfo();
        if (!info)
            return VFW_E_NOT_CONNECTED;
        width_ = info->bmiHeader.biWidth;
        height_ =
            info->bmiHeader.biHeight < 0 ? -info->bmiHeader.biHeight : info->bmiHeader.biHeight;
        subtype_ = format().get().subtype;
        interval_ = info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : UNITS / 30;
        if (!renderer_.configure(int(width_), int(height_)))
            return VFW_E_INVALIDMEDIATYPE;
        if (subtype_ == MEDIASUBTYPE_MJPG) {
            if (!encoder_.configure(int(width_), int(height_)))
                return VFW_E_INVALIDMEDIATYPE;
            scratch_.assign(pattern::PatternRenderer::yuy2Bytes(int(width_), int(height_)), 0);
        }
        return CaptureSource::onActivate();
    }

    // Streaming thread, before the first frame after each start.
    void onStreamStart() override {
        frame_ = 0;
        slot_ = 0;
        delivered_.store(0, std::memory_order_relaxed);
        anchored_ = false;
    }

    // Streaming thread: one frame. Paced, the sensor exposes a frame every interval from the
    // stream start on the graph clock (the system clock, which counts CLOCK_MONOTONIC as
    // steady_clock does); a frame is stamped with the start of the interval it was taken in,
    // and the frames whose intervals passed while downstream held this thread are dropped,
    // so sample times stay true to the clock and the rate never slows.
    HRESULT fillBuffer(IMediaSample& sample) override {
        using namespace std::chrono;
        REFERENCE_TIME now = monotonicNow();
        if (paced_) {
            if (!anchored_) {
                epoch_ = streamStart();
                // Run without a clock start (0) or one far off: start from now.
                if (epoch_ <= 0 || epoch_ > now + UNITS || epoch_ < now - UNITS)
                    epoch_ = now;
                anchored_ = true;
            }
            const REFERENCE_TIME due = epoch_ + slot_ * interval_;
            if (due > now) {
                if (!sleepUntil(steady_clock::time_point(nanoseconds(due * 100))))
                    return S_FALSE;
                now = std::max(monotonicNow(), due);
            }
            slot_ = std::max(slot_, (now - epoch_) / interval_);
        } else {
            slot_ = frame_;
        }
        BYTE* data = nullptr;
        sample.GetPointer(&data);
        const size_t capacity = size_t(sample.GetSize());
        pattern::PictureSettings settings;
        {
            std::lock_guard lock(settingsLock_);
            settings = settings_;
        }
        const pattern::StripData stamp{uint32_t(frame_), uint64_t(now / 10)};
        size_t length = 0;
        if (subtype_ == MEDIASUBTYPE_YUY2) {
            length = pattern::PatternRenderer::yuy2Bytes(int(width_), int(height_));
            if (length > capacity ||
                !renderer_.renderYuy2(data, size_t(width_) * 2, stamp, settings))
                return E_UNEXPECTED;
        } else if (subtype_ == MEDIASUBTYPE_RGB24) {
            length = pattern::PatternRenderer::rgb24Bytes(int(width_), int(height_));
            if (!renderer_.renderRgb24(data, capacity, stamp, settings))
                return E_UNEXPECTED;
        } else {
            renderer_.renderYuy2(scratch_.data(), size_t(width_) * 2, stamp, settings);
            length = encoder_.encodeYuy2(scratch_.data(), size_t(width_) * 2, data, capacity);
            if (length == 0)
                return E_UNEXPECTED;
        }
        sample.SetActualDataLength(LONG(length));
        REFERENCE_TIME start = slot_ * interval_, end = start + interval_;
        sample.SetTime(&start, &end);
        sample.SetSyncPoint(TRUE);
        ++frame_;
        ++slot_;
        delivered_.fetch_add(1, std::memory_order_relaxed);
        return S_OK;
    }

    HRESULT decideBufferSize(OutputPin& pin, ALLOCATOR_PROPERTIES& props) override {
        HRESULT hr = CaptureSource::decideBufferSize(pin, props);
        if (SUCCEEDED(hr) && pin.mediaType().get().subtype == MEDIASUBTYPE_MJPG) {
            // The encoder writes only into buffers that hold its worst case.
            const VIDEOINFOHEADER* info = pin.mediaType().videoInfo();
            pattern::MjpegEncoder probe;
            if (info && probe.configure(int(info->bmiHeader.biWidth),
                                        int(std::abs(info->bmiHeader.biHeight))))
                props.cbBuffer = std::max<LONG>(props.cbBuffer, LONG(probe.maxFrameBytes()));
        }
        return hr;
    }

private:
    ~TestPatternCamera() override { Stop(); }

    static const ProcAmpRange* rangeOf(LONG property) {
        static constexpr ProcAmpRange brightness{-100, 100, 0}, contrast{0, 200, 100},
            hue{-180, 180, 0}, saturation{0, 200, 100};
        switch (property) {
        case VideoProcAmp_Brightness:
            return &brightness;
        case VideoProcAmp_Contrast:
            return &contrast;
        case VideoProcAmp_Hue:
            return &hue;
        case VideoProcAmp_Saturation:
            return &saturation;
        default:
            return nullptr;
        }
    }
    static int* field(pattern::PictureSettings& s, LONG property) {
        return property == VideoProcAmp_Brightness ? &s.brightness
               : property == VideoProcAmp_Contrast ? &s.contrast
               : property == VideoProcAmp_Hue      ? &s.hue
                                                   : &s.saturation;
    }

    const bool paced_;
    // Set at activation, read by the streaming thread until stop.
    LONG width_ = 0, height_ = 0;
    GUID subtype_{};
    REFERENCE_TIME interval_ = UNITS / 30;
    pattern::PatternRenderer renderer_;
    pattern::MjpegEncoder encoder_;
    std::vector<uint8_t> scratch_;
    // Streaming thread only.
    LONGLONG frame_ = 0; // frames delivered since the start (the strip's counter)
    LONGLONG slot_ = 0;  // the sensor interval of the next frame, from the stream start
    REFERENCE_TIME epoch_ = 0;
    bool anchored_ = false;
    std::atomic<LONGLONG> delivered_{0};
    // Written by control threads, copied once per frame by the streaming thread.
    std::mutex settingsLock_;
    pattern::PictureSettings settings_;
};

} // namespace

HRESULT createTestPatternCamera(const TestPatternOptions& options, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (capabilitiesFor(options).empty())
        return E_INVALIDARG;
    return makeCom<TestPatternCamera>(options)->QueryInterface(riid, object);
}

namespace {
const ClassRegistration registration{CLSID_TestPatternCamera, [](REFIID riid, void** object) {
                                         return createTestPatternCamera({}, riid, object);
                                     }};
} // namespace

} // namespace platform::media

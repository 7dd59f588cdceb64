// V4l2Source: a V4L2 capture node as a source filter: stream configuration from its
// capabilities, mmap streaming into the graph's samples, camera controls.
#include "media/sources/v4l2/v4l2_source.h"

#include "media/sources/capture/capture_source.h"
#include "media/sources/v4l2/buffer_ring.h"
#include "media/sources/v4l2/capabilities.h"
#include "media/sources/v4l2/controls.h"
#include "media/sources/v4l2/stream_format.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <linux/videodev2.h>

namespace platform::media::v4l2 {
namespace {

// How long the streaming thread waits for a frame before it looks for a stop request.
constexpr int kPollMs = 50;

HRESULT hresultFromErrno(int negativeErrno) {
    switch (-negativeErrno) {
    case ENODEV:
    case ENOENT:
    case ENXIO:
        return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
    case EBUSY:
    case EACCES:
    case EPERM:
        return E_ACCESSDENIED;
    case EINVAL:
    case ERANGE:
        return E_INVALIDARG;
    case ENOMEM:
        return E_OUTOFMEMORY;
    default:
        return E_FAIL;
    }
}

std::vector<CaptureCapability> toCaptureCapabilities(const std::vector<Capability>& device) {
    std::vector<CaptureCapability> list;
    for (const Capability& c : device)
        list.push_back({c.format.subtype, c.format.bitCount, c.format.compression, LONG(c.minWidth),
                        LONG(c.maxWidth), LONG(c.stepWidth), LONG(c.minHeight), LONG(c.maxHeight),
                        LONG(c.stepHeight), c.minInterval, c.maxInterval});
    return list;
}

// The device's current format as a media type, or the first capability's when the current
// one is none we carry.
MediaType currentType(const DeviceFd& fd, const std::vector<CaptureCapability>& capabilities) {
    StreamFormat now;
    REFERENCE_TIME interval = getFrameInterval(fd);
    if (getFormat(fd, &now) == 0) {
        if (const auto pixel = pixelFormatFromFourcc(now.fourcc)) {
            for (const CaptureCapability& c : capabilities) {
                if (c.subtype == pixel->subtype && c.covers(LONG(now.width), LONG(now.height))) {
                    if (interval < c.minInterval || interval > c.maxInterval)
                        interval = c.minInterval;
                    return CaptureSource::typeFor(c, LONG(now.width), LONG(now.height), interval);
                }
            }
        }
    }
    if (capabilities.empty())
        return MediaType();
    const CaptureCapability& c = capabilities.front();
    return CaptureSource::typeFor(c, c.maxWidth, c.maxHeight, c.minInterval);
}

// Which V4L2 control stands behind each IAMVideoProcAmp / IAMCameraControl property, and
// the control that switches it to automatic.
struct ControlBinding {
    LONG property;
    uint32_t id;
    uint32_t autoId; // 0: no automatic mode
    bool logSeconds; // exposure: the interface counts log2 seconds, V4L2 100 us units
};

constexpr ControlBinding kProcAmp[] = {
    {VideoProcAmp_Brightness, V4L2_CID_BRIGHTNESS, 0, false},
    {VideoProcAmp_Contrast, V4L2_CID_CONTRAST, 0, false},
    {VideoProcAmp_Hue, V4L2_CID_HUE, V4L2_CID_HUE_AUTO, false},
    {VideoProcAmp_Saturation, V4L2_CID_SATURATION, 0, false},
    {VideoProcAmp_Sharpness, V4L2_CID_SHARPNESS, 0, false},
    {VideoProcAmp_Gamma, V4L2_CID_GAMMA, 0, false},
    {VideoProcAmp_WhiteBalance, V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE,
     false},
    {VideoProcAmp_BacklightCompensation, V4L2_CID_BACKLIGHT_COMPENSATION, 0, false},
    {VideoProcAmp_Gain, V4L2_CID_GAIN, V4L2_CID_AUTOGAIN, false},
};
constexpr ControlBinding kCameraControl[] = {
    {CameraControl_Pan, V4L2_CID_PAN_ABSOLUTE, 0, false},
    {CameraControl_Tilt, V4L2_CID_TILT_ABSOLUTE, 0, false},
    {CameraControl_Zoom, V4L2_CID_ZOOM_ABSOLUTE, 0, false},
    {CameraControl_Exposure, V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_EXPOSURE_AUTO, true},
    {CameraControl_Iris, V4L2_CID_IRIS_ABSOLUTE, 0, false},
    {CameraControl_Focus, V4L2_CID_FOCUS_ABSOLUTE, V4L2_CID_FOCUS_AUTO, false},
};

LONG toLogSeconds(int32_t units) {
    return LONG(std::lround(std::log2(std::max(units, 1) / 10000.0)));
}
int32_t fromLogSeconds(LONG exponent) {
    return int32_t(std::lround(std::ldexp(10000.0, int(std::clamp<LONG>(exponent, -20, 10)))));
}

class V4l2Source final : public CaptureSource, public IAMVideoProcAmp {
public:
    V4l2Source(std::shared_ptr<V4l2Io> io, DeviceFd fd, std::vector<CaptureCapability> caps,
               MediaType initial, std::vector<Control> controls)
        : CaptureSource(CLSID_V4l2Camera, std::move(caps), std::move(initial)), io_(std::move(io)),
          fd_(std::move(fd)), controls_(std::move(controls)), cameraControl_(*this) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return CaptureSource::QueryInterface(riid, object);
    }
    ULONG AddRef() override { return CaptureSource::AddRef(); }
    ULONG Release() override { return CaptureSource::Release(); }

    // IAMVideoProcAmp and IAMCameraControl share one implementation over their tables.
    // Control threads; the controls list is fixed at creation, the device does the rest.
    HRESULT GetRange(LONG property, LONG* min, LONG* max, LONG* step, LONG* defaultValue,
                     LONG* capsFlags) override {
        return range(kProcAmp, property, min, max, step, defaultValue, capsFlags);
    }
    HRESULT Set(LONG property, LONG value, LONG flags) override {
        return set(kProcAmp, property, value, flags);
    }
    HRESULT Get(LONG property, LONG* value, LONG* flags) override {
        return get(kProcAmp, property, value, flags);
    }

private:
    // IAMCameraControl has the same three methods as IAMVideoProcAmp, so it is a separate
    // object inside the filter, sharing the filter's reference count and identity.
    class CameraControl final : public IAMCameraControl {
    public:
        explicit CameraControl(V4l2Source& filter) : filter_(filter) {}
        HRESULT QueryInterface(REFIID riid, void** object) override {
            return filter_.QueryInterface(riid, object);
        }
        ULONG AddRef() override { return filter_.AddRef(); }
        ULONG Release() override { return filter_.Release(); }
        HRESULT GetRange(LONG property, LONG* min, LONG* max, LONG* step, LONG* defaultValue,
                         LONG* capsFlags) override {
            return filter_.range(kCameraControl, property, min, max, step, defaultValue, capsFlags);
        }
        HRESULT Set(LONG property, LONG value, LONG flags) override {
            return filter_.set(kCameraControl, property, value, flags);
        }
        HRESULT Get(LONG property, LONG* value, LONG* flags) override {
            return filter_.get(kCameraControl, property, value, flags);
        }

    private:
        V4l2Source& filter_;
    };

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IAMVideoProcAmp) {
            *object = static_cast<IAMVideoProcAmp*>(this);
            return S_OK;
        }
        if (riid == IID_IAMCameraControl) {
            *object = static_cast<IAMCameraControl*>(&cameraControl_);
            return S_OK;
        }
        return CaptureSource::queryOther(riid, object);
    }

    // Control thread, state lock held: the format and rate go to the device and its buffers
    // are mapped before the streaming thread starts.
    HRESULT onActivate() override {
        if (!output().isConnected())
            return CaptureSource::onActivate();
        const VIDEOINFOHEADER* info = format().videoInfo();
        const auto pixel = pixelFormatFromSubtype(format().get().subtype);
        if (!info || !pixel)
            return VFW_E_INVALIDMEDIATYPE;
        const LONG height = std::abs(info->bmiHeader.biHeight);
        int result = v4l2::setFormat(fd_, pixel->fourcc, uint32_t(info->bmiHeader.biWidth),
                                     uint32_t(height), &active_);
        if (result < 0)
            return hresultFromErrno(result);
        if (active_.fourcc != pixel->fourcc || LONG(active_.width) != info->bmiHeader.biWidth ||
            LONG(active_.height) != height)
            return VFW_E_INVALIDMEDIATYPE; // the device adjusted what it said it supports
        pixel_ = *pixel;
        interval_ = setFrameInterval(fd_, info->AvgTimePerFrame);
        if (interval_ <= 0)
            interval_ = info->AvgTimePerFrame > 0 ? info->AvgTimePerFrame : UNITS / 30;
        if ((result = ring_.allocate(fd_)) < 0)
            return hresultFromErrno(result);
        return CaptureSource::onActivate();
    }

    // Streaming thread, before the first frame after each start.
    void onStreamStart() override {
        streamOk_ = ring_.start() == 0;
        firstTimestamp_ = -1;
    }

    // Streaming thread: waits for the device's next frame and copies it into the sample.
    // A vanished device (or any failure) ends the stream: the thread then idles until Stop.
    HRESULT fillBuffer(IMediaSample& sample) override {
        // Every turn looks for a stop request first: a device that only sends frames we
        // drop must not keep the thread from stopping.
        while (streamOk_ && sleepUntil(std::chrono::steady_clock::time_point())) {
            BufferRing::Frame frame;
            const int result = ring_.dequeue(kPollMs, &frame);
            if (result == -EAGAIN)
                continue;
            if (result < 0)
                break;
            const bool copied = !frame.corrupted && copyFrame(frame, sample);
            if (ring_.requeue(frame.index) < 0)
                streamOk_ = false;
            if (!copied)
                continue;
            if (firstTimestamp_ < 0)
                firstTimestamp_ = frame.timestamp;
            REFERENCE_TIME start = frame.timestamp - firstTimestamp_, end = start + interval_;
            sample.SetTime(&start, &end);
            sample.SetSyncPoint(TRUE);
            return S_OK;
        }
        streamOk_ = false;
        return S_FALSE;
    }

    // Control thread, state lock held, after the streaming thread has been joined.
    void onStopped() override {
        CaptureSource::onStopped();
        ring_.release();
    }

private:
    ~V4l2Source() override { Stop(); }

    bool copyFrame(const BufferRing::Frame& frame, IMediaSample& sample) {
        BYTE* data = nullptr;
        sample.GetPointer(&data);
        const size_t capacity = size_t(sample.GetSize());
        const size_t width = active_.width, height = active_.height;
        if (pixel_.compressed) {
            if (frame.bytesUsed == 0 || frame.bytesUsed > capacity)
                return false; // an empty or oversized JPEG is not a picture
            std::memcpy(data, frame.data, frame.bytesUsed);
            sample.SetActualDataLength(LONG(frame.bytesUsed));
            return true;
        }
        if (pixel_.flipRows || (active_.bytesPerLine && pixel_.bitCount % 8 == 0)) {
            // Packed rows: copy row by row into the DIB stride, bottom-up for RGB.
            const size_t rowBytes = width * pixel_.bitCount / 8;
            const size_t srcStride = std::max<size_t>(active_.bytesPerLine, rowBytes);
            const size_t dstStride =
                pixel_.flipRows ? size_t(dibStride(LONG(width), pixel_.bitCount)) : rowBytes;
            if (srcStride * height > frame.bytesUsed || dstStride * height > capacity)
                return false; // a short frame: drop it rather than show garbage
            for (size_t y = 0; y < height; ++y) {
                const size_t target = pixel_.flipRows ? height - 1 - y : y;
                std::memcpy(data + target * dstStride, frame.data + y * srcStride, rowBytes);
            }
            sample.SetActualDataLength(LONG(dstStride * height));
            return true;
        }
        const size_t bytes = frameBytes(pixel_, uint32_t(width), uint32_t(height));
        if (bytes == 0 || bytes > frame.bytesUsed || bytes > capacity)
            return false;
        std::memcpy(data, frame.data, bytes);
        sample.SetActualDataLength(LONG(bytes));
        return true;
    }

    template <size_t N>
    const ControlBinding* binding(const ControlBinding (&table)[N], LONG property) const {
        for (const ControlBinding& b : table)
            if (b.property == property && control(b.id))
                return &b;
        return nullptr;
    }
    const Control* control(uint32_t id) const {
        for (const Control& c : controls_)
            if (c.id == id)
                return &c;
        return nullptr;
    }
    bool isAutomatic(const ControlBinding& b) const {
        int32_t value = 0;
        if (!b.autoId || !control(b.autoId) || getControl(fd_, b.autoId, &value) < 0)
            return false;
        return b.autoId == V4L2_CID_EXPOSURE_AUTO ? value != V4L2_EXPOSURE_MANUAL : value != 0;
    }

    template <size_t N>
    HRESULT range(const ControlBinding (&table)[N], LONG property, LONG* min, LONG* max, LONG* step,
                  LONG* defaultValue, LONG* capsFlags) {
        if (!min || !max || !step || !defaultValue || !capsFlags)
            return E_POINTER;
        const ControlBinding* b = binding(table, property);
        if (!b)
            return E_PROP_ID_UNSUPPORTED;
        const Control& c = *control(b->id);
        *min = b->logSeconds ? toLogSeconds(c.minimum) : c.minimum;
        *max = b->logSeconds ? toLogSeconds(c.maximum) : c.maximum;
        *step = b->logSeconds ? 1 : c.step;
        *defaultValue = b->logSeconds ? toLogSeconds(c.defaultValue) : c.defaultValue;
        *capsFlags = VideoProcAmp_Flags_Manual |
                     (b->autoId && control(b->autoId) ? VideoProcAmp_Flags_Auto : 0);
        return S_OK;
    }

    template <size_t N>
    HRESULT get(const ControlBinding (&table)[N], LONG property, LONG* value, LONG* flags) {
        if (!value || !flags)
            return E_POINTER;
        const ControlBinding* b = binding(table, property);
        if (!b)
            return E_PROP_ID_UNSUPPORTED;
        int32_t raw = 0;
        if (const int result = getControl(fd_, b->id, &raw); result < 0)
            return hresultFromErrno(result);
        *value = b->logSeconds ? toLogSeconds(raw) : raw;
        *flags = isAutomatic(*b) ? VideoProcAmp_Flags_Auto : VideoProcAmp_Flags_Manual;
        return S_OK;
    }

    template <size_t N>
    HRESULT set(const ControlBinding (&table)[N], LONG property, LONG value, LONG flags) {
        const ControlBinding* b = binding(table, property);
        if (!b)
            return E_PROP_ID_UNSUPPORTED;
        const bool wantAuto = flags & VideoProcAmp_Flags_Auto;
        const bool hasAuto = b->autoId && control(b->autoId);
        if (wantAuto && !hasAuto)
            return E_INVALIDARG;
        if (hasAuto) {
            int32_t mode = wantAuto ? 1 : 0;
            if (b->autoId == V4L2_CID_EXPOSURE_AUTO) {
                // The menu's automatic entry the camera has (UVC cameras offer aperture
                // priority, others full auto).
                mode = V4L2_EXPOSURE_MANUAL;
                if (wantAuto)
                    for (const MenuItem& item : control(b->autoId)->menu)
                        if (item.index != V4L2_EXPOSURE_MANUAL)
                            mode = int32_t(item.index);
            }
            if (const int result = setControl(fd_, b->autoId, mode); result < 0)
                return hresultFromErrno(result);
        }
        if (wantAuto)
            return S_OK;
        const int32_t raw = b->logSeconds ? fromLogSeconds(value) : int32_t(value);
        const int result = setControl(fd_, b->id, raw);
        return result < 0 ? hresultFromErrno(result) : S_OK;
    }

    const std::shared_ptr<V4l2Io> io_; // keeps the I/O alive as long as the descriptor
    const DeviceFd fd_;
    const std::vector<Control> controls_;
    // Set at activation (control thread), used by the streaming thread until stop.
    StreamFormat active_;
    PixelFormat pixel_{};
    REFERENCE_TIME interval_ = UNITS / 30;
    BufferRing ring_;
    // Streaming thread only.
    bool streamOk_ = false;
    REFERENCE_TIME firstTimestamp_ = -1;
    CameraControl cameraControl_;
};

} // namespace

HRESULT createV4l2Source(std::shared_ptr<V4l2Io> io, const std::string& node, REFIID riid,
                         void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    DeviceFd fd;
    if (const int result = DeviceFd::open(*io, node, &fd); result < 0)
        return hresultFromErrno(result);
    auto capabilities = toCaptureCapabilities(enumerateCapabilities(fd));
    if (capabilities.empty())
        return VFW_E_NO_TYPES;
    MediaType initial = currentType(fd, capabilities);
    auto controls = enumerateControls(fd);
    return makeCom<V4l2Source>(std::move(io), std::move(fd), std::move(capabilities),
                               std::move(initial), std::move(controls))
        ->QueryInterface(riid, object);
}

} // namespace platform::media::v4l2

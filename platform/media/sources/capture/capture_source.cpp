// CaptureSource: stream configuration, pin category and property pages of a camera filter.
#include "media/sources/capture/capture_source.h"

#include "media/base/output_pin.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace platform::media {

bool CaptureCapability::covers(LONG width, LONG height) const {
    return width >= minWidth && width <= maxWidth && height >= minHeight && height <= maxHeight &&
           (width - minWidth) % std::max<LONG>(stepWidth, 1) == 0 &&
           (height - minHeight) % std::max<LONG>(stepHeight, 1) == 0;
}

namespace {

HRESULT onePage(const GUID& page, CAUUID* pages) {
    if (!pages)
        return E_POINTER;
    pages->cElems = 0;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pages->pElems)
        return E_OUTOFMEMORY;
    pages->pElems[0] = page;
    pages->cElems = 1;
    return S_OK;
}

} // namespace

// The capture pin's extra interfaces. They live inside the filter and share its reference
// count, as the pin itself does; IUnknown and IPin answer with the pin.
class CaptureSource::PinInterfaces final : public IAMStreamConfig,
                                           public IKsPropertySet,
                                           public ISpecifyPropertyPages {
public:
    PinInterfaces(CaptureSource& filter, BasePin& pin) : filter_(filter), pin_(pin) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid == IID_IAMStreamConfig)
            *object = static_cast<IAMStreamConfig*>(this);
        else if (riid == IID_IKsPropertySet)
            *object = static_cast<IKsPropertySet*>(this);
        else if (riid == IID_ISpecifyPropertyPages)
            *object = static_cast<ISpecifyPropertyPages*>(this);
        else
            return pin_.QueryInterface(riid, object);
        filter_.AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return filter_.AddRef(); }
    ULONG Release() override { return filter_.Release(); }

    // IAMStreamConfig: control threads.
    HRESULT SetFormat(AM_MEDIA_TYPE* mt) override { return filter_.setFormat(mt); }
    HRESULT GetFormat(AM_MEDIA_TYPE** mt) override { return filter_.getFormat(mt); }
    HRESULT GetNumberOfCapabilities(int* count, int* size) override {
        return filter_.numberOfCapabilities(count, size);
    }
    HRESULT GetStreamCaps(int index, AM_MEDIA_TYPE** mt, BYTE* caps) override {
        return filter_.streamCaps(index, mt, caps);
    }

    // IKsPropertySet: the pin's category, read-only.
    HRESULT Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) override {
        return E_PROP_ID_UNSUPPORTED;
    }
    HRESULT Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD dataLength,
                DWORD* returned) override {
        if (set != AMPROPSETID_Pin)
            return E_PROP_SET_UNSUPPORTED;
        if (id != AMPROPERTY_PIN_CATEGORY)
            return E_PROP_ID_UNSUPPORTED;
        if (!data && !returned)
            return E_POINTER;
        if (returned)
            *returned = sizeof(GUID);
        if (!data)
            return S_OK;
        if (dataLength < sizeof(GUID))
            return E_UNEXPECTED;
        std::memcpy(data, &PIN_CATEGORY_CAPTURE, sizeof(GUID));
        return S_OK;
    }
    HRESULT QuerySupported(REFGUID set, DWORD id, DWORD* support) override {
        if (set != AMPROPSETID_Pin)
            return E_PROP_SET_UNSUPPORTED;
        if (id != AMPROPERTY_PIN_CATEGORY)
            return E_PROP_ID_UNSUPPORTED;
        if (support)
            *support = KSPROPERTY_SUPPORT_GET;
        return S_OK;
    }

    HRESULT GetPages(CAUUID* pages) override { return onePage(CLSID_StreamFormatPage, pages); }

private:
    CaptureSource& filter_;
    BasePin& pin_;
};

CaptureSource::CaptureSource(REFCLSID clsid, std::vector<CaptureCapability> capabilities,
                             MediaType initialFormat)
    : SourceFilter(clsid, u"Capture"), capabilities_(std::move(capabilities)),
      format_(std::move(initialFormat)),
      pinInterfaces_(std::make_unique<PinInterfaces>(*this, output())) {}

CaptureSource::~CaptureSource() = default;

HRESULT CaptureSource::GetPages(CAUUID* pages) {
    return onePage(CLSID_CameraControlsPage, pages);
}

HRESULT CaptureSource::queryOther(REFIID riid, void** object) {
    if (riid == IID_ISpecifyPropertyPages) {
        *object = static_cast<ISpecifyPropertyPages*>(this);
        return S_OK;
    }
    return SourceFilter::queryOther(riid, object);
}

HRESULT CaptureSource::queryPinInterface(BasePin& pin, REFIID riid, void** object) {
    if (&pin != &output())
        return E_NOINTERFACE;
    return pinInterfaces_->QueryInterface(riid, object);
}

REFERENCE_TIME CaptureSource::frameInterval() const {
    const VIDEOINFOHEADER* info = format_.videoInfo();
    return info ? info->AvgTimePerFrame : 0;
}

MediaType CaptureSource::typeFor(const CaptureCapability& capability, LONG width, LONG height,
                                 REFERENCE_TIME interval) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = capability.bitCount;
    header.biCompression = capability.compression;
    const bool compressed = capability.subtype == MEDIASUBTYPE_MJPG;
    // A JPEG frame never exceeds its raw 4:2:2 size plus headers.
    header.biSizeImage = compressed ? DWORD(width) * DWORD(height) * 2 + 65536
                         : capability.compression == BI_RGB
                             ? DWORD(dibStride(width, capability.bitCount)) * DWORD(height)
                             : DWORD((int64_t(width) * capability.bitCount + 7) / 8 * height);
    MediaType type = MediaType::video(capability.subtype, header, interval);
    if (compressed) {
        type.get().bFixedSizeSamples = FALSE;
        type.get().bTemporalCompression = FALSE;
    }
    return type;
}

// Checks a proposed format against the capabilities and rebuilds it from them, so that the
// caller's biSizeImage or other fields never reach the device or the allocator.
HRESULT CaptureSource::validate(const AM_MEDIA_TYPE& mt, MediaType* normalised) const {
    if (mt.majortype != MEDIATYPE_Video || mt.formattype != FORMAT_VideoInfo || !mt.pbFormat ||
        mt.cbFormat < sizeof(VIDEOINFOHEADER))
        return VFW_E_INVALIDMEDIATYPE;
    VIDEOINFOHEADER info;
    std::memcpy(&info, mt.pbFormat, sizeof(info));
    if (info.bmiHeader.biHeight == std::numeric_limits<LONG>::min())
        return VFW_E_INVALIDMEDIATYPE; // no capability is that tall, and it has no negation
    const LONG width = info.bmiHeader.biWidth;
    const LONG height =
        info.bmiHeader.biHeight < 0 ? -info.bmiHeader.biHeight : info.bmiHeader.biHeight;
    for (const CaptureCapability& capability : capabilities_) {
        if (capability.subtype != mt.subtype || capability.bitCount != info.bmiHeader.biBitCount ||
            !capability.covers(width, height))
            continue;
        REFERENCE_TIME interval = info.AvgTimePerFrame;
        if (interval == 0)
            interval = capability.minInterval; // the fastest rate, as a type without one means
        if (interval < capability.minInterval || interval > capability.maxInterval)
            continue;
        *normalised = typeFor(capability, width, height, interval);
        return S_OK;
    }
    return VFW_E_INVALIDMEDIATYPE;
}

HRESULT CaptureSource::setFormat(const AM_MEDIA_TYPE* mt) {
    if (!mt)
        return E_POINTER;
    MediaType wanted;
    if (HRESULT hr = validate(*mt, &wanted); FAILED(hr))
        return hr;
    if (HRESULT hr = acceptFormat(wanted); FAILED(hr))
        return hr;
    std::lock_guard lock(stateLock());
    if (state() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (output().isConnected()) {
        // Connected: only the rate may change; a new size or subtype needs a new connection.
        const VIDEOINFOHEADER* now = format_.videoInfo();
        const VIDEOINFOHEADER* next = wanted.videoInfo();
        if (format_.get().subtype != wanted.get().subtype ||
            now->bmiHeader.biWidth != next->bmiHeader.biWidth ||
            now->bmiHeader.biHeight != next->bmiHeader.biHeight)
            return VFW_E_ALREADY_CONNECTED;
    }
    format_ = std::move(wanted);
    formatSet_ = true;
    return S_OK;
}

HRESULT CaptureSource::getFormat(AM_MEDIA_TYPE** mt) {
    if (!mt)
        return E_POINTER;
    std::lock_guard lock(stateLock());
    *mt = createMediaType(format_.get());
    return *mt ? S_OK : E_OUTOFMEMORY;
}

HRESULT CaptureSource::numberOfCapabilities(int* count, int* size) {
    if (!count || !size)
        return E_POINTER;
    *count = int(capabilities_.size());
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

HRESULT CaptureSource::streamCaps(int index, AM_MEDIA_TYPE** mt, BYTE* caps) {
    if (!mt || !caps)
        return E_POINTER;
    *mt = nullptr;
    if (index < 0)
        return E_INVALIDARG;
    if (size_t(index) >= capabilities_.size())
        return S_FALSE;
    const CaptureCapability& c = capabilities_[size_t(index)];
    VIDEO_STREAM_CONFIG_CAPS config{};
    config.guid = FORMAT_VideoInfo;
    config.InputSize = {c.maxWidth, c.maxHeight};
    config.MinCroppingSize = config.MaxCroppingSize = config.InputSize;
    config.CropGranularityX = config.CropGranularityY = 1;
    config.CropAlignX = config.CropAlignY = 1;
    config.MinOutputSize = {c.minWidth, c.minHeight};
    config.MaxOutputSize = {c.maxWidth, c.maxHeight};
    config.OutputGranularityX = int(c.stepWidth);
    config.OutputGranularityY = int(c.stepHeight);
    config.MinFrameInterval = c.minInterval;
    config.MaxFrameInterval = c.maxInterval;
    const auto bitsPerSecond = [&](LONG w, LONG h, REFERENCE_TIME interval) {
        const int64_t bits =
            int64_t(w) * h * c.bitCount * UNITS / std::max<REFERENCE_TIME>(interval, 1);
        return LONG(std::min<int64_t>(bits, 0x7fffffff));
    };
    config.MinBitsPerSecond = bitsPerSecond(c.minWidth, c.minHeight, c.maxInterval);
    config.MaxBitsPerSecond = bitsPerSecond(c.maxWidth, c.maxHeight, c.minInterval);
    std::memcpy(caps, &config, sizeof(config));
    *mt = createMediaType(typeFor(c, c.maxWidth, c.maxHeight, c.minInterval).get());
    return *mt ? S_OK : E_OUTOFMEMORY;
}

HRESULT CaptureSource::checkMediaType(const BasePin&, const AM_MEDIA_TYPE& mt) {
    MediaType normalised;
    if (FAILED(validate(mt, &normalised)))
        return VFW_E_TYPE_NOT_ACCEPTED;
    std::lock_guard lock(stateLock());
    // After SetFormat only that format; before it, any format of the capabilities.
    if (!formatSet_)
        return S_OK;
    const VIDEOINFOHEADER* own = format_.videoInfo();
    const VIDEOINFOHEADER* other = normalised.videoInfo();
    return normalised.get().subtype == format_.get().subtype &&
                   own->bmiHeader.biWidth == other->bmiHeader.biWidth &&
                   own->bmiHeader.biHeight == other->bmiHeader.biHeight
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CaptureSource::getMediaType(const BasePin&, int position, MediaType& mt) {
    std::lock_guard lock(stateLock());
    if (position == 0) {
        mt = format_;
        return S_OK;
    }
    if (formatSet_ || position < 0 || size_t(position - 1) >= capabilities_.size())
        return VFW_S_NO_MORE_ITEMS;
    const CaptureCapability& c = capabilities_[size_t(position - 1)];
    mt = typeFor(c, c.maxWidth, c.maxHeight, c.minInterval);
    return S_OK;
}

// The agreed type is rebuilt from the capability it falls in, as SetFormat does: a type the
// peer proposed (its biSizeImage included) never sizes buffers or reaches the device.
HRESULT CaptureSource::completeConnect(BasePin& pin) {
    MediaType agreed;
    if (HRESULT hr = validate(pin.mediaType().get(), &agreed); FAILED(hr))
        return hr;
    std::lock_guard lock(stateLock());
    format_ = std::move(agreed);
    return S_OK;
}

HRESULT CaptureSource::decideBufferSize(OutputPin& pin, ALLOCATOR_PROPERTIES& props) {
    MediaType agreed;
    if (FAILED(validate(pin.mediaType().get(), &agreed)))
        return VFW_E_INVALIDMEDIATYPE;
    const VIDEOINFOHEADER* info = agreed.videoInfo();
    props.cBuffers = std::max<LONG>(props.cBuffers, 3);
    props.cbBuffer = std::max<LONG>(props.cbBuffer, LONG(info->bmiHeader.biSizeImage));
    props.cbAlign = std::max<LONG>(props.cbAlign, 1);
    return S_OK;
}

} // namespace platform::media

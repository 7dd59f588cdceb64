// CaptureSource: a camera's push source filter with a capture pin that offers stream
// configuration, a pin category and the stream-format page; the devices fill in the rest.
#pragma once

#include "media/base/media_type.h"
#include "media/base/source_filter.h"

#include <platform/media/camera_interfaces.h>

#include <mutex>
#include <vector>

namespace platform::media {

// One capture capability: a subtype over a size range and a frame-interval range.
struct CaptureCapability {
    GUID subtype;
    WORD bitCount;
    DWORD compression;
    LONG minWidth, maxWidth, stepWidth;
    LONG minHeight, maxHeight, stepHeight;
    REFERENCE_TIME minInterval, maxInterval;

    bool covers(LONG width, LONG height) const;
};

// The device sources share this filter: the capture pin's IAMStreamConfig, IKsPropertySet
// (category PIN_CATEGORY_CAPTURE) and ISpecifyPropertyPages (the stream-format page), and the
// filter's own ISpecifyPropertyPages (the camera-controls page).
//
// Threads: IAMStreamConfig runs on control threads; the format it sets is read by the
// streaming thread only between activation and stop, when it cannot change (SetFormat refuses
// unless stopped), so the streaming side reads it without a lock.
class CaptureSource : public SourceFilter, public ISpecifyPropertyPages {
public:
    PLATFORM_FORWARD_IUNKNOWN(SourceFilter)
    HRESULT GetPages(CAUUID* pages) override;

    // IAMStreamConfig of the capture pin.
    HRESULT setFormat(const AM_MEDIA_TYPE* mt);
    HRESULT getFormat(AM_MEDIA_TYPE** mt);
    HRESULT numberOfCapabilities(int* count, int* size);
    HRESULT streamCaps(int index, AM_MEDIA_TYPE** mt, BYTE* caps);

    // A video type of the capability's subtype at this size and interval.
    static MediaType typeFor(const CaptureCapability& capability, LONG width, LONG height,
                             REFERENCE_TIME interval);

protected:
    CaptureSource(REFCLSID clsid, std::vector<CaptureCapability> capabilities,
                  MediaType initialFormat);
    ~CaptureSource() override;

    // The format the pin delivers (valid while connected or active).
    const MediaType& format() const { return format_; }
    REFERENCE_TIME frameInterval() const;
    const std::vector<CaptureCapability>& capabilities() const { return capabilities_; }

    // A device may refuse a format the capabilities allow (S_OK: accepted).
    virtual HRESULT acceptFormat(const MediaType&) { return S_OK; }

    HRESULT queryOther(REFIID riid, void** object) override;
    HRESULT queryPinInterface(BasePin& pin, REFIID riid, void** object) override;
    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override;
    HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt) override;
    HRESULT decideBufferSize(OutputPin& pin, ALLOCATOR_PROPERTIES& props) override;
    // The agreed type becomes the format: a peer may have chosen another capability.
    HRESULT completeConnect(BasePin& pin) override;

private:
    class PinInterfaces;
    HRESULT validate(const AM_MEDIA_TYPE& mt, MediaType* normalised) const;

    const std::vector<CaptureCapability> capabilities_;
    MediaType format_;       // guarded by the state lock
    bool formatSet_ = false; // once set, the pin offers only this format
    std::unique_ptr<PinInterfaces> pinInterfaces_;
};

} // namespace platform::media

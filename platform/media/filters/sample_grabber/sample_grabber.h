// SampleGrabber (CLSID_SampleGrabber): hands every sample to a callback and can keep a copy of
// the last one; works as a sink with its output unconnected, or passes samples on.
#pragma once

#include "media/base/base_filter.h"
#include "media/base/input_pin.h"
#include "media/base/media_type.h"
#include "media/base/output_pin.h"

#include <platform/media/sample_grabber.h>

#include <vector>

namespace platform::media {

// Threads: the callback, the buffered copy and the one-shot flag are touched by the upstream
// streaming thread inside the gate; control threads change them through the gate's exclusive
// section, which waits for the sample in flight. So once SetCallback returns, the old callback
// is not running and is never called again.
class SampleGrabber final : public BaseFilter, public ISampleGrabber {
public:
    SampleGrabber();
    PLATFORM_FORWARD_IUNKNOWN(BaseFilter)

    HRESULT SetOneShot(BOOL oneShot) override;
    HRESULT SetMediaType(const AM_MEDIA_TYPE* mt) override;
    HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) override;
    HRESULT SetBufferSamples(BOOL bufferThem) override;
    HRESULT GetCurrentBuffer(LONG* bufferSize, LONG* buffer) override;
    HRESULT GetCurrentSample(IMediaSample** sample) override;
    HRESULT SetCallback(ISampleGrabberCB* callback, LONG whichMethodToCallback) override;

protected:
    HRESULT queryOther(REFIID riid, void** object) override;
    int pinCount() override { return 2; }
    BasePin* pin(int index) override;
    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override;
    HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt) override;
    HRESULT checkConnect(const BasePin& pin, IPin* peer) override;
    HRESULT completeConnect(BasePin& pin) override;
    HRESULT receive(InputPin& pin, IMediaSample* sample) override;
    HRESULT endOfStream(InputPin& pin) override;
    HRESULT onActivate() override;

private:
    ~SampleGrabber() override = default;

    InputPin input_;
    OutputPin output_;
    MediaType accepted_; // guarded by the state lock

    // Streaming state (see the class comment).
    ComPtr<ISampleGrabberCB> callback_;
    LONG callbackMethod_ = 0;
    bool bufferSamples_ = false;
    bool oneShot_ = false;
    bool gotSample_ = false;
    std::vector<BYTE> buffered_; // capacity reserved at connection: copying never allocates
    LONG bufferedLength_ = 0;
    bool hasBuffered_ = false;
};

} // namespace platform::media

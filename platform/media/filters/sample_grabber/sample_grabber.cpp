// SampleGrabber: partial type matching, callbacks in both modes, the buffered last sample.
#include "media/filters/sample_grabber/sample_grabber.h"

#include <platform/com_registry.h>
#include <platform/media/filter_classes.h>

#include <cstring>

namespace platform::media {

SampleGrabber::SampleGrabber()
    : BaseFilter(CLSID_SampleGrabber), input_(*this, u"Input"),
      output_(*this, u"Output", OutputPin::Buffers::PassThrough) {}

HRESULT SampleGrabber::queryOther(REFIID riid, void** object) {
    if (riid == IID_ISampleGrabber) {
        *object = static_cast<ISampleGrabber*>(this);
        return S_OK;
    }
    return BaseFilter::queryOther(riid, object);
}

BasePin* SampleGrabber::pin(int index) {
    return index == 0 ? static_cast<BasePin*>(&input_) : &output_;
}

HRESULT SampleGrabber::checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) {
    if (&pin == &output_) {
        // Samples pass on unchanged, so downstream must take the input's type.
        return input_.checkPassedOnType(mt);
    }
    std::lock_guard lock(stateLock());
    return matchesPartial(accepted_.get(), mt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT SampleGrabber::getMediaType(const BasePin& pin, int position, MediaType& mt) {
    return &pin == &output_ ? input_.passedOnType(position, mt) : VFW_S_NO_MORE_ITEMS;
}

HRESULT SampleGrabber::checkConnect(const BasePin& pin, IPin*) {
    return &pin == &output_ && !input_.isConnected() ? VFW_E_NOT_CONNECTED : S_OK;
}

// Connecting thread, filter stopped: room for the largest sample the type describes.
HRESULT SampleGrabber::completeConnect(BasePin& pin) {
    if (&pin != &input_)
        return S_OK;
    const MediaType& mt = input_.mediaType();
    size_t size = mt.get().lSampleSize;
    if (const VIDEOINFOHEADER* vih = mt.videoInfo())
        size = std::max<size_t>(size, vih->bmiHeader.biSizeImage);
    gate().exclusive([&] {
        buffered_.clear();
        buffered_.reserve(size);
        hasBuffered_ = false;
        bufferedLength_ = 0;
    });
    return S_OK;
}

HRESULT SampleGrabber::onActivate() {
    gotSample_ = false; // gate shut: no streaming thread is inside
    return S_OK;
}

// Upstream streaming thread, inside the gate; no lock is held while the callback or the
// downstream filter runs.
HRESULT SampleGrabber::receive(InputPin&, IMediaSample* sample) {
    if (oneShot_ && gotSample_)
        return S_FALSE;
    if (sample->IsPreroll() == S_OK)
        return output_.isConnected() ? output_.deliver(sample) : S_OK;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    const LONG length = sample->GetActualDataLength();
    if (bufferSamples_ && data && length >= 0) {
        // Grows only when a sample exceeds the connected type's size.
        buffered_.resize(static_cast<size_t>(length));
        std::memcpy(buffered_.data(), data, static_cast<size_t>(length));
        bufferedLength_ = length;
        hasBuffered_ = true;
    }
    if (callback_) {
        // Held for the call: a callback that detaches itself (SetCallback from inside runs at
        // once) must not lose its last reference while it is still running.
        const ComPtr<ISampleGrabberCB> callback = callback_;
        REFERENCE_TIME start = 0, end = 0;
        const double seconds = SUCCEEDED(sample->GetTime(&start, &end)) ? double(start) / UNITS : 0;
        if (callbackMethod_ == 0)
            callback->SampleCB(seconds, sample);
        else
            callback->BufferCB(seconds, data, length);
    }
    gotSample_ = true;
    HRESULT hr = output_.isConnected() ? output_.deliver(sample) : S_OK;
    return oneShot_ ? S_FALSE : hr; // one shot: the stream stops after this sample
}

HRESULT SampleGrabber::endOfStream(InputPin&) {
    return output_.isConnected() ? output_.deliverEndOfStream() : S_OK;
}

HRESULT SampleGrabber::SetOneShot(BOOL oneShot) {
    gate().exclusive([&] { oneShot_ = oneShot != FALSE; });
    return S_OK;
}

HRESULT SampleGrabber::SetMediaType(const AM_MEDIA_TYPE* mt) {
    if (!mt)
        return E_POINTER;
    std::lock_guard lock(stateLock());
    accepted_ = MediaType(*mt);
    return S_OK;
}

HRESULT SampleGrabber::GetConnectedMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt)
        return E_POINTER;
    return input_.ConnectionMediaType(mt);
}

HRESULT SampleGrabber::SetBufferSamples(BOOL bufferThem) {
    gate().exclusive([&] { bufferSamples_ = bufferThem != FALSE; });
    return S_OK;
}

HRESULT SampleGrabber::GetCurrentBuffer(LONG* bufferSize, LONG* buffer) {
    if (!bufferSize)
        return E_POINTER;
    if (!input_.isConnected())
        return VFW_E_NOT_CONNECTED;
    HRESULT hr = S_OK;
    gate().exclusive([&] {
        if (!bufferSamples_)
            hr = E_INVALIDARG;
        else if (!hasBuffered_)
            hr = VFW_E_WRONG_STATE;
        else if (!buffer)
            *bufferSize = bufferedLength_;
        else if (*bufferSize < bufferedLength_)
            hr = E_OUTOFMEMORY;
        else {
            std::memcpy(buffer, buffered_.data(), static_cast<size_t>(bufferedLength_));
            *bufferSize = bufferedLength_;
        }
    });
    return hr;
}

HRESULT SampleGrabber::GetCurrentSample(IMediaSample** sample) {
    if (sample)
        *sample = nullptr;
    return E_NOTIMPL;
}

HRESULT SampleGrabber::SetCallback(ISampleGrabberCB* callback, LONG whichMethodToCallback) {
    if (whichMethodToCallback != 0 && whichMethodToCallback != 1)
        return E_INVALIDARG;
    ComPtr<ISampleGrabberCB> previous;
    gate().exclusive([&] {
        previous = std::move(callback_);
        callback_ = callback;
        callbackMethod_ = whichMethodToCallback;
    });
    return S_OK; // `previous` is released here, outside the gate
}

namespace {
const ClassRegistration registration{CLSID_SampleGrabber, createInstance<SampleGrabber>};
} // namespace

} // namespace platform::media

// MediaSample: a pooled buffer with the sample properties the stream carries.
#include "media/base/media_sample.h"

#include "media/base/mem_allocator.h"

namespace platform::media {

// The buffer is left unwritten: a large one is mapped on demand, so the pages a stream never
// fills (the tail of a packet buffer sized for the worst case, a pool's spare samples) take no
// memory.
MediaSample::MediaSample(MemAllocator& owner, LONG size)
    : owner_(owner), buffer_(std::make_unique_for_overwrite<BYTE[]>(size > 0 ? size : 1)),
      size_(size) {}

HRESULT MediaSample::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMediaSample) {
        *object = static_cast<IMediaSample*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG MediaSample::AddRef() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG MediaSample::Release() {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        owner_.ReleaseBuffer(this); // may end the allocator; touch nothing after
    return left;
}

void MediaSample::prepareForUse() {
    refs_.store(1, std::memory_order_relaxed);
    actual_ = size_;
    timeValid_ = endValid_ = mediaTimeValid_ = false;
    sync_ = preroll_ = discontinuity_ = false;
}

HRESULT MediaSample::GetPointer(BYTE** buffer) {
    if (!buffer)
        return E_POINTER;
    *buffer = buffer_.get();
    return S_OK;
}

HRESULT MediaSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    if (!start || !end)
        return E_POINTER;
    if (!timeValid_)
        return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = start_;
    *end = endValid_ ? end_ : start_ + 1;
    return endValid_ ? S_OK : VFW_S_NO_STOP_TIME;
}

HRESULT MediaSample::SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) {
    timeValid_ = start != nullptr;
    endValid_ = start && end;
    if (start)
        start_ = *start;
    if (end)
        end_ = *end;
    return S_OK;
}

HRESULT MediaSample::SetSyncPoint(BOOL sync) {
    sync_ = sync != FALSE;
    return S_OK;
}

HRESULT MediaSample::SetPreroll(BOOL preroll) {
    preroll_ = preroll != FALSE;
    return S_OK;
}

HRESULT MediaSample::SetActualDataLength(LONG length) {
    if (length < 0 || length > size_)
        return VFW_E_BUFFER_OVERFLOW;
    actual_ = length;
    return S_OK;
}

HRESULT MediaSample::GetMediaType(AM_MEDIA_TYPE** mt) {
    if (!mt)
        return E_POINTER;
    *mt = nullptr;
    return S_FALSE;
}

HRESULT MediaSample::SetMediaType(AM_MEDIA_TYPE*) {
    return E_NOTIMPL;
}

HRESULT MediaSample::SetDiscontinuity(BOOL discontinuity) {
    discontinuity_ = discontinuity != FALSE;
    return S_OK;
}

HRESULT MediaSample::GetMediaTime(LONGLONG* start, LONGLONG* end) {
    if (!start || !end)
        return E_POINTER;
    if (!mediaTimeValid_)
        return VFW_E_MEDIA_TIME_NOT_SET;
    *start = mediaStart_;
    *end = mediaEnd_;
    return S_OK;
}

HRESULT MediaSample::SetMediaTime(LONGLONG* start, LONGLONG* end) {
    mediaTimeValid_ = start && end;
    if (mediaTimeValid_) {
        mediaStart_ = *start;
        mediaEnd_ = *end;
    }
    return S_OK;
}

} // namespace platform::media

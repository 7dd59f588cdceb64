// MediaSample: one buffer of an allocator's pool; its last Release hands it back to the pool.
#pragma once

#include <platform/media/filter_interfaces.h>

#include <atomic>
#include <memory>

namespace platform::media {

class MemAllocator;

class MediaSample final : public IMediaSample {
public:
    MediaSample(MemAllocator& owner, LONG size);
    MediaSample(const MediaSample&) = delete;
    MediaSample& operator=(const MediaSample&) = delete;
    ~MediaSample() = default;

    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override;
    // The last release returns the sample to its pool; the pool owns the memory.
    ULONG Release() override;

    HRESULT GetPointer(BYTE** buffer) override;
    LONG GetSize() override { return size_; }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT SetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT IsSyncPoint() override { return sync_ ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL sync) override;
    HRESULT IsPreroll() override { return preroll_ ? S_OK : S_FALSE; }
    HRESULT SetPreroll(BOOL preroll) override;
    LONG GetActualDataLength() override { return actual_; }
    HRESULT SetActualDataLength(LONG length) override;
    // Format changes within a stream are not carried: no sample has a type of its own.
    HRESULT GetMediaType(AM_MEDIA_TYPE** mt) override;
    HRESULT SetMediaType(AM_MEDIA_TYPE* mt) override;
    HRESULT IsDiscontinuity() override { return discontinuity_ ? S_OK : S_FALSE; }
    HRESULT SetDiscontinuity(BOOL discontinuity) override;
    HRESULT GetMediaTime(LONGLONG* start, LONGLONG* end) override;
    HRESULT SetMediaTime(LONGLONG* start, LONGLONG* end) override;

    // Called by the pool when it hands the sample out: one reference, properties cleared.
    void prepareForUse();

private:
    MemAllocator& owner_;
    std::unique_ptr<BYTE[]> buffer_;
    const LONG size_;
    std::atomic<ULONG> refs_{0};
    LONG actual_ = 0;
    REFERENCE_TIME start_ = 0, end_ = 0;
    LONGLONG mediaStart_ = 0, mediaEnd_ = 0;
    bool timeValid_ = false, endValid_ = false, mediaTimeValid_ = false;
    bool sync_ = false, preroll_ = false, discontinuity_ = false;
};

} // namespace platform::media

// MemAllocator: a fixed pool of samples, sized at connection and committed while streaming.
#pragma once

#include "media/base/media_sample.h"

#include <platform/com_object.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::media {

// GetBuffer blocks until a sample comes back or the pool is decommitted (VFW_E_NOT_COMMITTED),
// which is how stopping wakes a streaming thread waiting on a full pool. Buffers are made on
// Commit and kept across Decommit/Commit cycles until the properties change, so running and
// stopping again allocates nothing. Thread-safe: streaming threads take and return samples,
// control threads commit and decommit.
class MemAllocator final : public ComObject<IMemAllocator> {
public:
    HRESULT SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* props) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                      DWORD flags) override;
    HRESULT ReleaseBuffer(IMediaSample* sample) override;

    // Samples handed out and not yet returned.
    int outstanding();
    // GetBuffer calls blocked right now, waiting for a sample to come back.
    int waiting();

private:
    ~MemAllocator() override = default;

    std::mutex mutex_;
    std::condition_variable returned_;
    ALLOCATOR_PROPERTIES props_{};
    bool committed_ = false;
    std::vector<std::unique_ptr<MediaSample>> pool_;
    std::vector<MediaSample*> free_; // capacity reserved: returning never allocates
    int outstanding_ = 0;
    int waiting_ = 0;
};

} // namespace platform::media

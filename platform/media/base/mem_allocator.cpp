// MemAllocator: the sample pool behind every output pin.
#include "media/base/mem_allocator.h"

#include <algorithm>

namespace platform::media {

HRESULT MemAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
    if (!request || !actual)
        return E_POINTER;
    if (request->cBuffers <= 0 || request->cbBuffer < 0 || request->cbPrefix < 0)
        return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    if (committed_)
        return VFW_E_ALREADY_COMMITTED;
    if (outstanding_ > 0)
        return VFW_E_BUFFERS_OUTSTANDING;
    ALLOCATOR_PROPERTIES wanted = *request;
    wanted.cbAlign = std::max<LONG>(wanted.cbAlign, 1);
    if (wanted.cBuffers != props_.cBuffers || wanted.cbBuffer != props_.cbBuffer) {
        pool_.clear(); // remade on the next Commit
        free_.clear();
    }
    props_ = wanted;
    *actual = props_;
    return S_OK;
}

HRESULT MemAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
    if (!props)
        return E_POINTER;
    std::lock_guard lock(mutex_);
    *props = props_;
    return S_OK;
}

HRESULT MemAllocator::Commit() {
    std::lock_guard lock(mutex_);
    if (props_.cBuffers <= 0)
        return VFW_E_SIZENOTSET;
    if (committed_)
        return S_OK;
    if (pool_.empty()) {
        pool_.reserve(props_.cBuffers);
        free_.reserve(props_.cBuffers);
        for (LONG i = 0; i < props_.cBuffers; ++i) {
            pool_.push_back(std::make_unique<MediaSample>(*this, props_.cbBuffer));
            free_.push_back(pool_.back().get());
        }
    }
    committed_ = true;
    return S_OK;
}

HRESULT MemAllocator::Decommit() {
    std::lock_guard lock(mutex_);
    committed_ = false;
    returned_.notify_all(); // waiting GetBuffer calls fail with VFW_E_NOT_COMMITTED
    return S_OK;
}

HRESULT MemAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*,
                                DWORD flags) {
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    MediaSample* taken = nullptr;
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!committed_)
                return VFW_E_NOT_COMMITTED;
            if (!free_.empty())
                break;
            if (flags & AM_GBF_NOWAIT)
                return VFW_E_TIMEOUT;
            ++waiting_;
            returned_.wait(lock);
            --waiting_;
        }
        // The sample returned last goes out first: in a chain that delivers synchronously
        // the same sample keeps coming back, and the spare ones are never written.
        taken = free_.back();
        free_.pop_back();
        ++outstanding_;
    }
    AddRef(); // each sample out keeps its pool alive
    taken->prepareForUse();
    *sample = taken;
    return S_OK;
}

HRESULT MemAllocator::ReleaseBuffer(IMediaSample* sample) {
    if (!sample)
        return E_POINTER;
    {
        std::lock_guard lock(mutex_);
        auto owned = std::find_if(pool_.begin(), pool_.end(),
                                  [&](const auto& s) { return s.get() == sample; });
        if (owned == pool_.end())
            return E_INVALIDARG;
        free_.push_back(owned->get());
        --outstanding_;
        returned_.notify_one();
    }
    Release(); // the reference GetBuffer took; may end this allocator
    return S_OK;
}

int MemAllocator::outstanding() {
    std::lock_guard lock(mutex_);
    return outstanding_;
}

int MemAllocator::waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
}

} // namespace platform::media

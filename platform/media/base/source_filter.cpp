// SourceFilter: the streaming thread of a push source.
#include "media/base/source_filter.h"

namespace platform::media {

SourceFilter::SourceFilter(REFCLSID clsid, std::u16string pinName)
    : BaseFilter(clsid), output_(*this, std::move(pinName), OutputPin::Buffers::OwnPool) {}

SourceFilter::~SourceFilter() {
    // A filter released while running is stopped first, so its thread never outlives it.
    if (thread_.joinable()) {
        onStopping();
        output_.beginInactive();
        thread_.join();
    }
}

// Control thread, state lock held: the thread starts paused and waits for Run.
HRESULT SourceFilter::onActivate() {
    if (!output_.isConnected())
        return S_OK; // nothing to deliver to: no thread
    {
        std::lock_guard lock(threadMutex_);
        stopRequested_ = false;
    }
    thread_ = std::thread([this] { streamLoop(); });
    return S_OK;
}

void SourceFilter::onRunning() {
    std::lock_guard lock(threadMutex_);
    wake_.notify_all();
}

void SourceFilter::onStopping() {
    std::lock_guard lock(threadMutex_);
    stopRequested_ = true;
    wake_.notify_all();
}

void SourceFilter::onStopped() {
    if (thread_.joinable())
        thread_.join();
}

bool SourceFilter::waitUntilRunning() {
    std::unique_lock lock(threadMutex_);
    wake_.wait(lock, [&] { return stopRequested_ || state() == State_Running; });
    return !stopRequested_;
}

bool SourceFilter::sleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(threadMutex_);
    return !wake_.wait_until(lock, deadline, [&] { return stopRequested_; });
}

// The streaming thread: runs from activation to stop; delivers only while running.
void SourceFilter::streamLoop() {
    StreamGate::ThreadScope streaming;
    onStreamStart();
    while (waitUntilRunning()) {
        IMediaSample* sample = nullptr;
        if (FAILED(output_.getDeliveryBuffer(&sample)))
            continue; // decommitted: the loop sees the stop request next
        HRESULT hr = fillBuffer(*sample);
        if (hr == S_OK)
            hr = output_.deliver(sample);
        sample->Release();
        if (hr == S_FALSE)
            output_.deliverEndOfStream();
        if (hr != S_OK)
            break; // downstream refused or the stream ended: idle until stopped
    }
    std::unique_lock lock(threadMutex_);
    wake_.wait(lock, [&] { return stopRequested_; });
}

} // namespace platform::media

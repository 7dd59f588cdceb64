// SourceFilter: a push source with one output pin and its own streaming thread, which fills
// samples from the pin's pool and delivers them downstream while the filter runs.
#pragma once

#include "media/base/base_filter.h"
#include "media/base/output_pin.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace platform::media {

class SourceFilter : public BaseFilter {
public:
    OutputPin& output() { return output_; }

protected:
    SourceFilter(REFCLSID clsid, std::u16string pinName);
    // A concrete source calls Stop() in its own destructor, so its thread never runs into a
    // half-destroyed filter.
    ~SourceFilter() override;

    // Streaming thread: fill one sample. S_OK delivers it, S_FALSE ends the stream, an error
    // stops streaming until the next start.
    virtual HRESULT fillBuffer(IMediaSample& sample) = 0;
    // Streaming thread: called before the first fill after each start.
    virtual void onStreamStart() {}

    // Streaming thread: sleeps until `deadline`; false when stopping cut the wait short.
    bool sleepUntil(std::chrono::steady_clock::time_point deadline);

    int pinCount() override { return 1; }
    BasePin* pin(int) override { return &output_; }

    HRESULT onActivate() override;
    void onRunning() override;
    void onStopping() override;
    void onStopped() override;

private:
    void streamLoop();
    // Waits while paused; false once a stop was asked for.
    bool waitUntilRunning();

    OutputPin output_;
    std::thread thread_;
    // The streaming lock of a source: guards stopRequested_ and wakes the thread.
    std::mutex threadMutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;
};

} // namespace platform::media

// The test pattern camera encoded into an RTP sink at the camera's pace, on a thread of its
// own, honouring the sink's keyframe requests as the program's encoder does.
#pragma once

#include "PatternEncoder.h"

#include "publish/RtpH264Sink.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace testsupport {

// Runs the pattern encoder into the sink at the camera's pace on a thread of its own,
// honouring keyframe requests as the program's encoder does.
class PacedCamera {
public:
    PacedCamera(RtpH264Sink& sink, int width, int height, int keyframeInterval)
        : encoder_(width, height, 30, keyframeInterval), sink_(sink) {}
    ~PacedCamera() { stop(); }
    bool start() {
        if (!encoder_.opened())
            return false;
        sink_.begin(encoder_.info());
        thread_ = std::thread([this] {
            auto next = std::chrono::steady_clock::now();
            while (!stop_) {
                const bool asked = sink_.takeKeyframeRequest();
                forced_ += asked ? 1 : 0;
                encoder_.encode(sink_, asked);
                sent_ = encoder_.frames();
                next += std::chrono::microseconds(33333);
                std::this_thread::sleep_until(next);
            }
            sink_.end();
        });
        return true;
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int forcedKeyframes() const { return forced_; }
    std::uint32_t frames() const { return sent_; }

private:
    PatternEncoder encoder_;
    RtpH264Sink& sink_;
    std::atomic<bool> stop_{false};
    std::atomic<int> forced_{0};
    std::atomic<std::uint32_t> sent_{0};
    std::thread thread_;
};

} // namespace testsupport

// Simulated V4L2 cameras listed through the real device enumerator, for Lumora's tests.
#pragma once

#include "media/sources/test_pattern/pattern_strip.h"
#include "media/sources/v4l2/v4l2_source.h"
#include "testing/simulated_v4l2.h"

#include <lumora/Video.h>
#include <platform/media/device_providers.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace simcam {

namespace v4l2 = platform::media::v4l2;
using v4l2::testing::SimDeviceSpec;
using v4l2::testing::SimFormat;

// The simulated devices are listed before the built-in test-pattern camera while in scope.
class Scope {
public:
    Scope() : io_(std::make_shared<v4l2::testing::SimulatedV4l2>()) {
        id_ = v4l2::registerV4l2Provider(io_, platform::media::kRankRegistered);
    }
    ~Scope() { platform::media::unregisterDeviceProvider(id_); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    v4l2::testing::SimulatedV4l2& sim() { return *io_; }

private:
    std::shared_ptr<v4l2::testing::SimulatedV4l2> io_;
    int id_ = 0;
};

// A device with one capture format over a continuous size range and interval range.
inline SimDeviceSpec rangeDevice(const std::string& node, const std::string& card, uint32_t fourcc,
                                 uint32_t minW, uint32_t minH, uint32_t maxW, uint32_t maxH,
                                 REFERENCE_TIME shortest, REFERENCE_TIME longest) {
    SimDeviceSpec spec;
    spec.node = node;
    spec.card = card;
    SimFormat format;
    format.fourcc = fourcc;
    format.stepwise = true;
    format.range = {minW, maxW, 1, minH, maxH, 1};
    format.stepwiseIntervals = true;
    format.minInterval = shortest;
    format.maxInterval = longest;
    spec.formats = {format};
    spec.paced = false;
    return spec;
}

// Counts frames in the frame callback and keeps what the strip of each said.
struct Frames {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<uint32_t> numbers; // frame numbers read from the strip (reserved up front)
    long long count = 0;
    int width = 0, height = 0, bits = 24;

    explicit Frames(size_t capacity = 256) { numbers.reserve(capacity); }

    // Streaming thread.
    static void callback(BYTE* pixels, void* param) {
        auto* self = static_cast<Frames*>(param);
        std::lock_guard lock(self->lock);
        platform::media::pattern::StripData strip;
        if (self->numbers.size() < self->numbers.capacity() &&
            platform::media::pattern::decodeStripDib(pixels, self->width, self->height, self->bits,
                                                     &strip))
            self->numbers.push_back(strip.frameNumber);
        ++self->count;
        self->arrived.notify_all();
    }
    void watch(CVideo& video) {
        const BITMAPINFO* info = video.GetBitmapInfoPtr();
        width = info->bmiHeader.biWidth;
        height = info->bmiHeader.biHeight;
        bits = info->bmiHeader.biBitCount;
        video.SetSampleCallBack(callback, this);
    }
    // Bounded wait for n frames in all.
    bool waitFor(long long n) {
        std::unique_lock held(lock);
        return arrived.wait_for(held, std::chrono::seconds(20), [&] { return count >= n; });
    }
};

} // namespace simcam

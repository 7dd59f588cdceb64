// StreamGate: counting streaming threads in and out of delivery.
#include "media/base/stream_gate.h"

namespace platform::media {

namespace {
// The innermost gate the calling thread is delivering through (deliveries nest downstream).
thread_local const StreamGate* tInnermost = nullptr;
// Gates this thread is inside, counted so nested filters are all seen.
thread_local int tDepth = 0;
} // namespace

StreamGate::Entry::Entry(StreamGate& gate) : gate_(gate), entered_(false), outer_(tInnermost) {
    std::unique_lock lock(gate_.mutex_);
    gate_.idle_.wait(lock, [&] { return !gate_.writer_; });
    if (!gate_.open_)
        return;
    ++gate_.inside_;
    entered_ = true;
    tInnermost = &gate_;
    ++tDepth;
}

StreamGate::Entry::~Entry() {
    if (!entered_)
        return;
    tInnermost = outer_;
    --tDepth;
    std::lock_guard lock(gate_.mutex_);
    if (--gate_.inside_ == 0)
        gate_.idle_.notify_all();
}

void StreamGate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
}

void StreamGate::refuse() {
    std::lock_guard lock(mutex_);
    open_ = false;
}

void StreamGate::drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return inside_ == 0; });
}

bool StreamGate::insideThis() const {
    return tInnermost == this;
}

bool StreamGate::onStreamingThread() {
    return tDepth > 0;
}

StreamGate::ThreadScope::ThreadScope() {
    ++tDepth;
}
StreamGate::ThreadScope::~ThreadScope() {
    --tDepth;
}

} // namespace platform::media

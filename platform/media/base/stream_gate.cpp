// StreamGate: counting streaming threads in and out of delivery.
#include "media/base/stream_gate.h"

namespace platform::media {

namespace {
// The innermost entry of the calling thread (deliveries nest downstream); each entry links
// to the one it is nested in.
thread_local const StreamGate::Entry* tInnermost = nullptr;
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
    tInnermost = this;
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
    return tInnermost && &tInnermost->gate_ == this;
}

bool StreamGate::enteredByThisThread() const {
    for (const Entry* entry = tInnermost; entry; entry = entry->outer_) {
        if (&entry->gate_ == this)
            return true;
    }
    return false;
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

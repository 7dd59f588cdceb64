// StreamGate: a filter's streaming lock, kept as a count of threads inside delivery so that no
// mutex is held while a streaming thread calls downstream or into a callback.
#pragma once

#include <condition_variable>
#include <mutex>

namespace platform::media {

class StreamGate {
public:
    // Streaming threads: enter before touching streaming state, leave after. False when the
    // gate is shut (the filter is stopped or stopping): the sample must be refused.
    class Entry {
    public:
        explicit Entry(StreamGate& gate);
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        explicit operator bool() const { return entered_; }

    private:
        StreamGate& gate_;
        bool entered_;
        const Entry* outer_;
        friend class StreamGate;
    };

    // Control threads (state lock held): open on activation; shut in two steps on stop so the
    // filter can wake blocked waiters (decommit pools) between refusing and draining.
    void open();
    void refuse();
    void drain();

    // Runs `change` while no streaming thread is inside, holding new ones off meanwhile: how
    // control threads change what streaming threads read. `change` must not call out. Called
    // from inside delivery (a callback changing its own filter) it runs at once.
    template <class F> void exclusive(F&& change) {
        std::unique_lock lock(mutex_);
        if (insideThis()) {
            change();
            return;
        }
        idle_.wait(lock, [&] { return !writer_; });
        writer_ = true;
        idle_.wait(lock, [&] { return inside_ == 0; });
        change();
        writer_ = false;
        idle_.notify_all();
    }

    // Whether the calling thread is a streaming thread: inside any gate's delivery, or a
    // source's thread (marked for its whole life with ThreadScope).
    static bool onStreamingThread();
    // Whether the calling thread is delivering through this gate, at any depth of nesting
    // (a callback of this filter, or of a filter downstream of it).
    bool enteredByThisThread() const;
    struct ThreadScope {
        ThreadScope();
        ~ThreadScope();
        ThreadScope(const ThreadScope&) = delete;
        ThreadScope& operator=(const ThreadScope&) = delete;
    };

private:
    bool insideThis() const;

    std::mutex mutex_;
    std::condition_variable idle_;
    int inside_ = 0;
    bool open_ = false;
    bool writer_ = false;
};

} // namespace platform::media

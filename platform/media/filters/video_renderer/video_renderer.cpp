// VideoRenderer (CLSID_VideoRenderer): the end of a playback graph. It paces pictures by their
// times against the graph clock while running, holds the first picture while paused (so a
// paused graph is "cued" on it), and never shows a window: this platform draws no video.
#include "media/base/renderer_filter.h"

#include <platform/com_registry.h>
#include <platform/media/file_interfaces.h>

#include <chrono>
#include <condition_variable>

namespace platform::media {

namespace {

// Longest wait for one picture's time: a sample stamped far ahead is shown after this.
constexpr REFERENCE_TIME kMaxWait = 10 * UNITS;

class VideoRenderer final : public RendererFilter, public IVideoWindow {
public:
    VideoRenderer() : RendererFilter(CLSID_VideoRenderer) {}
    PLATFORM_FORWARD_IUNKNOWN(RendererFilter)

    HRESULT put_AutoShow(LONG autoShow) override {
        std::lock_guard lock(mutex_);
        autoShow_ = autoShow;
        return S_OK;
    }
    HRESULT get_AutoShow(LONG* autoShow) override {
        if (!autoShow)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *autoShow = autoShow_;
        return S_OK;
    }
    // No window ever appears: asking for one is refused, hiding it is granted.
    HRESULT put_Visible(LONG visible) override { return visible ? E_NOTIMPL : S_OK; }
    HRESULT get_Visible(LONG* visible) override {
        if (!visible)
            return E_POINTER;
        *visible = 0;
        return S_OK;
    }

    // A paused renderer is ready once it holds a picture or the stream has ended; until then
    // its state is intermediate, for at most the caller's time-out.
    HRESULT GetState(DWORD milliSecsTimeout, FILTER_STATE* state) override {
        if (!state)
            return E_POINTER;
        *state = this->state();
        if (*state != State_Paused || !input().isConnected())
            return S_OK;
        std::unique_lock lock(mutex_);
        const auto ready = [&] { return cued_ || ended_ || this->state() != State_Paused; };
        if (milliSecsTimeout == DWORD(INFINITE_TIMEOUT))
            changed_.wait(lock, ready);
        else
            changed_.wait_for(lock, std::chrono::milliseconds(milliSecsTimeout), ready);
        return ready() ? S_OK : VFW_S_STATE_INTERMEDIATE;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IVideoWindow) {
            *object = static_cast<IVideoWindow*>(this);
            return S_OK;
        }
        return RendererFilter::queryOther(riid, object);
    }
    HRESULT checkInputType(const AM_MEDIA_TYPE& mt) override {
        return mt.majortype == MEDIATYPE_Video &&
                       (mt.subtype == MEDIASUBTYPE_RGB24 || mt.subtype == MEDIASUBTYPE_RGB32)
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }

    // State hooks, state lock held.
    HRESULT onActivate() override {
        std::lock_guard lock(mutex_);
        cued_ = ended_ = false;
        paced_ = false;
        return S_OK;
    }
    void onRunning() override {
        std::lock_guard lock(mutex_);
        paced_ = false; // pacing starts again from the next picture
        changed_.notify_all();
    }
    void onPaused() override {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    void onStopping() override {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }

    // Upstream streaming thread, inside the gate.
    HRESULT render(IMediaSample& sample) override {
        if (sample.IsPreroll() == S_OK)
            return S_OK; // decoded only to reach the position sought
        REFERENCE_TIME start = 0, end = 0;
        const bool timed = SUCCEEDED(sample.GetTime(&start, &end));
        std::unique_lock lock(mutex_);
        cued_ = true;
        changed_.notify_all();
        for (;;) {
            // Paused: the picture is held (the stream waits) until the graph runs or stops.
            changed_.wait(lock, [&] { return state() != State_Paused; });
            if (state() != State_Running)
                return VFW_E_WRONG_STATE;
            const auto now = std::chrono::steady_clock::now();
            if (!timed)
                return S_OK;
            if (!paced_) {
                // The first picture after running starts goes out at once and sets the
                // origin, so playing on after a pause continues without a jump.
                paced_ = true;
                origin_ = now - toDuration(start);
                return S_OK;
            }
            const auto due = origin_ + toDuration(start);
            if (due <= now || due > now + toDuration(kMaxWait))
                return S_OK;
            changed_.wait_until(lock, due, [&] { return state() != State_Running || !paced_; });
            if (state() == State_Running && paced_ && std::chrono::steady_clock::now() >= due)
                return S_OK;
            // Paused or started again meanwhile: held, then paced from a new origin.
        }
    }

    HRESULT endOfStream(InputPin&) override {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
        return S_OK;
    }

private:
    ~VideoRenderer() override = default;

    static std::chrono::steady_clock::duration toDuration(REFERENCE_TIME time) {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(time * 100));
    }

    // Shared by the streaming thread and the control threads; the streaming thread waits on
    // `changed_` without holding anything else.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool cued_ = false, ended_ = false, paced_ = false;
    std::chrono::steady_clock::time_point origin_{};
    LONG autoShow_ = -1;
};

const ClassRegistration registration{CLSID_VideoRenderer, createInstance<VideoRenderer>};

} // namespace

} // namespace platform::media

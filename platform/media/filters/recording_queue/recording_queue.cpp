// RecordingQueue (CLSID_RecordingQueue): the head of a recording branch. Frames arriving on
// the camera's streaming thread are copied into a small pool of the queue's own and queued;
// the queue's thread delivers them to the compressor and the multiplexer. When the branch
// falls behind and the pool is empty, the frame is dropped and counted, so the camera and the
// live picture never wait for encoding or writing.
#include "media/filters/recording_queue/recording_queue.h"

#include "media/base/base_filter.h"
#include "media/base/input_pin.h"
#include "media/base/media_type.h"
#include "media/base/mem_allocator.h"
#include "media/base/output_pin.h"

#include <platform/com_registry.h>
#include <platform/media/recording_interfaces.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::media {

namespace {

// At most this many frames wait, and at most this many bytes of them: a few frames of slack
// absorb a slow picture now and then; a branch slower than the camera drops frames instead.
constexpr LONG kMaxFrames = 8;
constexpr LONG kMinFrames = 2;
constexpr size_t kMaxBytes = size_t(64) << 20;
constexpr size_t kDroppedInfo = 64;

class RecordingQueue final : public BaseFilter, public IAMDroppedFrames, public IRecordingQueue {
public:
    RecordingQueue()
        : BaseFilter(CLSID_RecordingQueue), input_(*this, u"Input"),
          output_(*this, u"Output", OutputPin::Buffers::PassThrough),
          pool_(makeCom<MemAllocator>()) {}
    PLATFORM_FORWARD_IUNKNOWN(BaseFilter)

    // IAMDroppedFrames, any thread: the counts since the graph last ran.
    HRESULT GetNumDropped(long* dropped) override {
        if (!dropped)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *dropped = long(dropped_);
        return S_OK;
    }
    HRESULT GetNumNotDropped(long* passed) override {
        if (!passed)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *passed = long(passed_);
        return S_OK;
    }
    HRESULT GetDroppedInfo(long size, long* frames, long* copied) override {
        if (!frames || !copied)
            return E_POINTER;
        if (size <= 0)
            return E_INVALIDARG;
        std::lock_guard lock(mutex_);
        const long count = std::min<long>({size, long(dropped_), long(kDroppedInfo)});
        std::copy_n(droppedFrames_.begin(), count, frames);
        *copied = count;
        return S_OK;
    }
    HRESULT GetAverageFrameSize(long* average) override {
        if (!average)
            return E_POINTER;
        std::lock_guard lock(mutex_);
        *average = passed_ ? long(passedBytes_ / passed_) : 0;
        return S_OK;
    }

    // Control thread, the branch behind still running.
    HRESULT Finish(DWORD timeoutMs, REFERENCE_TIME* end) override {
        if (!end)
            return E_POINTER;
        std::unique_lock lock(mutex_);
        finishing_ = true;
        const bool drained = idle_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                            [&] { return count_ == 0 && !delivering_; });
        if (!drained)
            discardQueued();
        if (!haveEnd_)
            return S_FALSE;
        *end = lastEnd_;
        return S_OK;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IAMDroppedFrames) {
            *object = static_cast<IAMDroppedFrames*>(this);
            return S_OK;
        }
        if (riid == IID_IRecordingQueue) {
            *object = static_cast<IRecordingQueue*>(this);
            return S_OK;
        }
        return BaseFilter::queryOther(riid, object);
    }

    int pinCount() override { return 2; }
    BasePin* pin(int index) override {
        return index == 0 ? static_cast<BasePin*>(&input_) : &output_;
    }

    // Frames pass unchanged: the output carries the input's type.
    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override {
        if (&pin == &input_)
            return mt.majortype == MEDIATYPE_Video ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
        return input_.checkPassedOnType(mt);
    }
    HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt) override {
        return &pin == &input_ ? VFW_S_NO_MORE_ITEMS : input_.passedOnType(position, mt);
    }
    HRESULT checkConnect(const BasePin& pin, IPin*) override {
        return &pin == &output_ && !input_.isConnected() ? VFW_E_NOT_CONNECTED : S_OK;
    }

    // Stopped -> Paused, state lock held: the pool and the ring are made here, so frames
    // allocate nothing; then the delivering thread starts.
    HRESULT onActivate() override {
        if (!input_.isConnected() || !output_.isConnected())
            return S_OK;
        const LONG frameBytes = largestFrame();
        if (frameBytes <= 0)
            return VFW_E_SIZENOTSET;
        ALLOCATOR_PROPERTIES request{}, actual{};
        request.cBuffers =
            LONG(std::clamp<size_t>(kMaxBytes / size_t(frameBytes), kMinFrames, kMaxFrames));
        request.cbBuffer = frameBytes;
        request.cbAlign = 1;
        if (HRESULT hr = pool_->SetProperties(&request, &actual); FAILED(hr))
            return hr;
        if (HRESULT hr = pool_->Commit(); FAILED(hr))
            return hr;
        {
            std::lock_guard lock(mutex_);
            ring_.assign(size_t(actual.cBuffers), nullptr);
            ringNumbers_.assign(size_t(actual.cBuffers), 0);
            head_ = count_ = 0;
            stop_ = finishing_ = delivering_ = haveEnd_ = false;
            dropped_ = passed_ = received_ = 0;
            passedBytes_ = 0;
        }
        thread_ = std::thread([this] { deliverLoop(); });
        return S_OK;
    }

    void onStopping() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        queued_.notify_all();
        pool_->Decommit();
    }

    // Every streaming thread has left receive: the delivering thread ends, what is queued
    // goes back to the pool.
    void onStopped() override {
        if (thread_.joinable())
            thread_.join();
        std::lock_guard lock(mutex_);
        discardQueued();
    }

    // The camera's streaming thread, inside the gate: copy, queue, return. Never waits for
    // the branch behind.
    HRESULT receive(InputPin&, IMediaSample* sample) override {
        BYTE* data = nullptr;
        const LONG length = sample->GetActualDataLength();
        REFERENCE_TIME start = 0, end = 0;
        const HRESULT timed = sample->GetTime(&start, &end);
        IMediaSample* copy = nullptr;
        if (FAILED(sample->GetPointer(&data)) || !data || length < 0)
            return S_OK;
        if (SUCCEEDED(pool_->GetBuffer(&copy, nullptr, nullptr, AM_GBF_NOWAIT)) &&
            copy->GetSize() >= length) {
            BYTE* target = nullptr;
            copy->GetPointer(&target);
            std::memcpy(target, data, size_t(length));
            copy->SetActualDataLength(length);
            if (SUCCEEDED(timed))
                copy->SetTime(&start, timed == S_OK ? &end : nullptr);
            copy->SetSyncPoint(sample->IsSyncPoint() == S_OK);
            copy->SetPreroll(sample->IsPreroll() == S_OK);
            copy->SetDiscontinuity(sample->IsDiscontinuity() == S_OK);
        } else if (copy) {
            copy->Release(); // larger than the pool's buffers: dropped
            copy = nullptr;
        }
        std::unique_lock lock(mutex_);
        if (finishing_ || stop_) {
            // Past the end of the recording: neither kept nor counted.
            lock.unlock();
            if (copy)
                copy->Release();
            return S_OK;
        }
        if (SUCCEEDED(timed)) {
            lastEnd_ = timed == S_OK ? end : start;
            haveEnd_ = true;
        }
        const LONGLONG number = received_++;
        if (!copy) {
            countDropped(number);
            return S_OK;
        }
        ring_[(head_ + count_) % ring_.size()] = copy;
        ringNumbers_[(head_ + count_) % ring_.size()] = number;
        ++count_;
        lock.unlock();
        queued_.notify_one();
        return S_OK;
    }

private:
    ~RecordingQueue() override { Stop(); }

    // The largest frame upstream may send: its pool's buffers when known, else the type's.
    LONG largestFrame() {
        LONG bytes = 0;
        ALLOCATOR_PROPERTIES props{};
        if (IMemAllocator* upstream = input_.upstreamAllocator();
            upstream && SUCCEEDED(upstream->GetProperties(&props)))
            bytes = props.cbBuffer;
        const MediaType& type = input_.mediaType();
        bytes = std::max<LONG>(bytes, LONG(type.get().lSampleSize));
        if (const VIDEOINFOHEADER* info = type.videoInfo())
            bytes = std::max<LONG>(bytes, LONG(info->bmiHeader.biSizeImage));
        return bytes;
    }

    // The queue's own thread: hands queued frames downstream, oldest first. A refusal from
    // downstream (stopping) drops the frame.
    void deliverLoop() {
        StreamGate::ThreadScope streaming;
        std::unique_lock lock(mutex_);
        for (;;) {
            queued_.wait(lock, [&] { return stop_ || count_ > 0; });
            if (stop_)
                break;
            IMediaSample* sample = ring_[head_];
            ring_[head_] = nullptr;
            head_ = (head_ + 1) % ring_.size();
            --count_;
            delivering_ = true;
            lock.unlock();
            const LONG length = sample->GetActualDataLength();
            const HRESULT hr = output_.deliver(sample);
            sample->Release();
            lock.lock();
            delivering_ = false;
            if (SUCCEEDED(hr)) {
                ++passed_;
                passedBytes_ += length;
            }
            idle_.notify_all();
        }
    }

    // Mutex held: queued frames go back to the pool, counted as dropped.
    void discardQueued() {
        while (count_ > 0) {
            IMediaSample*& slot = ring_[head_];
            if (slot)
                slot->Release();
            slot = nullptr;
            countDropped(ringNumbers_[head_]);
            head_ = (head_ + 1) % ring_.size();
            --count_;
        }
        idle_.notify_all();
    }

    // Mutex held: one more dropped frame, and its number while there is room for it.
    void countDropped(LONGLONG number) {
        if (dropped_ < LONGLONG(kDroppedInfo))
            droppedFrames_[size_t(dropped_)] = long(number);
        ++dropped_;
    }

    InputPin input_;
    OutputPin output_;
    const ComPtr<MemAllocator> pool_;
    std::thread thread_;

    // Shared by the camera's thread, the queue's thread and control threads.
    std::mutex mutex_;
    std::condition_variable queued_; // a frame was queued, or stop
    std::condition_variable idle_;   // a frame left the queue
    std::vector<IMediaSample*> ring_;
    std::vector<LONGLONG> ringNumbers_; // the frame number of each queued frame
    size_t head_ = 0, count_ = 0;
    bool stop_ = false, finishing_ = false, delivering_ = false;
    bool haveEnd_ = false;
    REFERENCE_TIME lastEnd_ = 0;
    LONGLONG received_ = 0, dropped_ = 0, passed_ = 0, passedBytes_ = 0;
    std::array<long, kDroppedInfo> droppedFrames_{};
};

const ClassRegistration registration{CLSID_RecordingQueue, createInstance<RecordingQueue>};

} // namespace

} // namespace platform::media

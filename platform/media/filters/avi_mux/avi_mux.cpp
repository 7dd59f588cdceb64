// AviMux (CLSID_AviDest): puts one video stream into an AVI file through FFmpeg's AVI muxer,
// writing through the IStream of the file writer it is connected to. Files past 1 GiB go on
// in OpenDML extension chunks, so they stay valid. The file's timeline follows the capture
// times: every frame that was dropped on the way leaves an empty entry in the index.
#include "media/base/base_filter.h"
#include "media/base/input_pin.h"
#include "media/base/output_pin.h"
#include "media/codecs/av_media.h"
#include "media/filters/recording_queue/recording_queue.h"

#include <platform/com_registry.h>
#include <platform/media/file_interfaces.h>
#include <platform/media/recording_interfaces.h>

#include <cstring>
#include <mutex>
#include <vector>

namespace platform::media {

namespace {

constexpr HRESULT STG_E_MEDIUMFULL = hresultFromBits(0x80030070);
constexpr int kIoBufferSize = 1 << 16;
// A gap in the sample times longer than this many pictures is a clock jump, not dropped
// frames: the file goes on from the next entry instead of filling it.
constexpr int64_t kMaxGap = 60000;
// How long stopping waits for the recording queue to hand over the frames it still holds.
constexpr DWORD kFinishTimeoutMs = 5000;
// Upstream filters walked to find the recording queue (compressor, converters).
constexpr int kMaxUpstream = 6;

class AviMux final : public BaseFilter, public IAMDroppedFrames, public IRecordingStatus {
public:
    AviMux()
        : BaseFilter(CLSID_AviDest), input_(*this, u"Input 01"),
          output_(*this, u"AVI Out", OutputPin::Buffers::PassThrough) {}
    PLATFORM_FORWARD_IUNKNOWN(BaseFilter)

    // Control thread. The queue at the head of the branch hands over what it holds while
    // this filter still runs, and says where the recording ends; the file's last entries
    // then reach that time even when the last frames were dropped.
    HRESULT Stop() override {
        if (state() != State_Stopped)
            finishUpstream();
        return BaseFilter::Stop();
    }

    // IAMDroppedFrames, any thread: pictures in the file and empty entries for dropped ones.
    HRESULT GetNumDropped(long* dropped) override {
        if (!dropped)
            return E_POINTER;
        std::lock_guard lock(countsLock_);
        *dropped = long(counts_.entries - counts_.pictures);
        return S_OK;
    }
    HRESULT GetNumNotDropped(long* written) override {
        if (!written)
            return E_POINTER;
        std::lock_guard lock(countsLock_);
        *written = long(counts_.pictures);
        return S_OK;
    }
    HRESULT GetDroppedInfo(long, long*, long*) override { return E_NOTIMPL; }
    HRESULT GetAverageFrameSize(long* average) override {
        if (!average)
            return E_POINTER;
        std::lock_guard lock(countsLock_);
        *average = counts_.pictures ? long(counts_.bytes / counts_.pictures) : 0;
        return S_OK;
    }

    // IRecordingStatus, any thread.
    HRESULT GetWriteError(HRESULT* error) override {
        if (!error)
            return E_POINTER;
        std::lock_guard lock(countsLock_);
        *error = counts_.writeError;
        return S_OK;
    }
    HRESULT GetTimeline(LONGLONG* entries, REFERENCE_TIME* duration) override {
        if (!entries || !duration)
            return E_POINTER;
        std::lock_guard lock(countsLock_);
        *entries = counts_.entries;
        *duration = counts_.entries * counts_.interval;
        return S_OK;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IAMDroppedFrames) {
            *object = static_cast<IAMDroppedFrames*>(this);
            return S_OK;
        }
        if (riid == IID_IRecordingStatus) {
            *object = static_cast<IRecordingStatus*>(this);
            return S_OK;
        }
        return BaseFilter::queryOther(riid, object);
    }

    int pinCount() override { return 2; }
    BasePin* pin(int index) override {
        return index == 0 ? static_cast<BasePin*>(&input_) : &output_;
    }

    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override {
        if (&pin == &output_)
            return mt.majortype == MEDIATYPE_Stream &&
                           (mt.subtype == MEDIASUBTYPE_Avi || mt.subtype == GUID_NULL)
                       ? S_OK
                       : VFW_E_TYPE_NOT_ACCEPTED;
        const MediaType type(mt);
        const VIDEOINFOHEADER* vih = type.videoInfo();
        av::RawFormat raw;
        if (!vih || vih->bmiHeader.biWidth <= 0 || vih->bmiHeader.biHeight == 0)
            return VFW_E_TYPE_NOT_ACCEPTED;
        return av::rawFormatOf(mt, raw) || av::codecOf(mt) != AV_CODEC_ID_NONE
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt) override {
        if (&pin != &output_ || position != 0)
            return VFW_S_NO_MORE_ITEMS;
        AM_MEDIA_TYPE stream{};
        stream.majortype = MEDIATYPE_Stream;
        stream.subtype = MEDIASUBTYPE_Avi;
        stream.formattype = FORMAT_None;
        stream.bFixedSizeSamples = FALSE;
        mt = MediaType(stream);
        return S_OK;
    }
    // The file writer's pin must let us seek back: the index and headers are written last.
    HRESULT completeConnect(BasePin& pin) override {
        if (&pin != &output_)
            return S_OK;
        ComPtr<IStream> stream;
        if (FAILED(output_.peer()->QueryInterface(IID_IStream,
                                                  reinterpret_cast<void**>(stream.GetAddressOf()))))
            return VFW_E_NO_TRANSPORT;
        std::lock_guard lock(stateLock());
        stream_ = stream;
        return S_OK;
    }
    void breakConnect(BasePin& pin) override {
        if (&pin != &output_)
            return;
        std::lock_guard lock(stateLock());
        stream_ = nullptr;
    }

    // Stopped -> Paused, state lock held: a new file begins with its headers.
    HRESULT onActivate() override {
        if (!input_.isConnected() || !stream_)
            return S_OK;
        return beginFile();
    }

    // Streaming and control threads have both left by now: the file is finished here, on
    // the thread that stops the graph.
    void onStopped() override { endFile(); }

    // Upstream streaming thread, inside the gate.
    HRESULT receive(InputPin&, IMediaSample* sample) override {
        if (!muxer_ || failed_)
            return S_OK; // a failed file takes no more; the rest of the graph goes on
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const LONG length = sample->GetActualDataLength();
        if (!data || length <= 0)
            return S_OK;
        packet_->data = data;
        packet_->size = length;
        if (flip_) {
            if (size_t(length) < flipped_.size())
                return S_OK; // a short picture: never read past it
            flipRows(data);
            packet_->data = flipped_.data();
            packet_->size = int(flipped_.size());
        }
        const int64_t number = pictureNumber(sample);
        if (!writeEmptyUntil(number))
            return S_OK;
        packet_->stream_index = 0;
        packet_->flags = sample->IsSyncPoint() == S_OK || raw_ ? AV_PKT_FLAG_KEY : 0;
        writePacket(number);
        packet_->data = nullptr;
        packet_->size = 0;
        if (!failed_) {
            std::lock_guard lock(countsLock_);
            ++counts_.pictures;
            counts_.bytes += length;
        }
        return S_OK;
    }

private:
    ~AviMux() override { endFile(); }

    // Picture numbers from the sample times (the graph's start is entry 0), strictly
    // increasing: a frame dropped on the way (by the camera or the recording queue) leaves a
    // gap that becomes an empty entry, so the timing stays true.
    int64_t pictureNumber(IMediaSample* sample) {
        REFERENCE_TIME start = 0, end = 0;
        int64_t number = nextPicture_;
        if (SUCCEEDED(sample->GetTime(&start, &end)) && interval_ > 0 && start >= 0)
            number = std::max<int64_t>(nextPicture_, (start + interval_ / 2) / interval_);
        if (number - nextPicture_ > kMaxGap)
            number = nextPicture_;
        nextPicture_ = number + 1;
        return number;
    }

    // Streaming thread, or the stopping thread once streaming has left. One index entry;
    // packet_ holds the picture, or nothing for an empty entry ("00dc" of size 0, which
    // players take as a dropped frame: the previous picture stays on screen).
    void writePacket(int64_t number) {
        packet_->stream_index = 0;
        packet_->pts = packet_->dts =
            av::lib().av_rescale_q(number, frameTime_, muxer_->streams[0]->time_base);
        packet_->duration = 0;
        const int written = av::lib().av_write_frame(muxer_.get(), packet_.get());
        if (written < 0 || muxer_->pb->error < 0) {
            failed_ = true;
            error_ = av::resultOf(written < 0 ? written : muxer_->pb->error);
            std::lock_guard lock(countsLock_);
            counts_.writeError = ioError_ != S_OK ? ioError_ : error_;
            return;
        }
        entries_ = number + 1;
        std::lock_guard lock(countsLock_);
        counts_.entries = entries_;
    }

    // Empty entries for the pictures before `number` that never came; false once the file
    // failed.
    bool writeEmptyUntil(int64_t number) {
        BYTE* data = packet_->data;
        const int size = packet_->size;
        const int flags = packet_->flags;
        packet_->data = nullptr;
        packet_->size = 0;
        packet_->flags = 0;
        while (!failed_ && entries_ < number)
            writePacket(entries_);
        packet_->data = data;
        packet_->size = size;
        packet_->flags = flags;
        return !failed_;
    }

    // Control thread, before this filter stops: the queue upstream (through the compressor)
    // delivers what it holds and gives the end of the recording.
    void finishUpstream() {
        ComPtr<IPin> pin(input_.peer());
        for (int depth = 0; pin && depth < kMaxUpstream; ++depth) {
            PIN_INFO info{};
            if (FAILED(pin->QueryPinInfo(&info)) || !info.pFilter)
                return;
            ComPtr<IBaseFilter> filter = ComPtr<IBaseFilter>::adopt(info.pFilter);
            ComPtr<IRecordingQueue> queue;
            if (SUCCEEDED(filter->QueryInterface(IID_IRecordingQueue,
                                                 reinterpret_cast<void**>(queue.GetAddressOf())))) {
                REFERENCE_TIME end = 0;
                if (queue->Finish(kFinishTimeoutMs, &end) == S_OK) {
                    std::lock_guard lock(stateLock());
                    endTime_ = end;
                    haveEnd_ = true;
                }
                return;
            }
            pin = upstreamOf(filter.Get());
        }
    }

    // The pin feeding a filter's first connected input.
    static ComPtr<IPin> upstreamOf(IBaseFilter* filter) {
        ComPtr<IEnumPins> pins;
        if (FAILED(filter->EnumPins(pins.GetAddressOf())) || !pins)
            return nullptr;
        ComPtr<IPin> pin;
        while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            PIN_DIRECTION direction = PINDIR_OUTPUT;
            ComPtr<IPin> peer;
            if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_INPUT &&
                SUCCEEDED(pin->ConnectedTo(peer.GetAddressOf())) && peer)
                return peer;
        }
        return nullptr;
    }

    // DIB rows run bottom-up; FFmpeg's AVI muxer stores RGB top-down.
    void flipRows(const BYTE* data) {
        const size_t stride = flipped_.size() / size_t(height_);
        for (int row = 0; row < height_; ++row)
            std::memcpy(flipped_.data() + size_t(row) * stride,
                        data + size_t(height_ - 1 - row) * stride, stride);
    }

    HRESULT beginFile() {
        endFile();
        const AM_MEDIA_TYPE& mt = input_.mediaType().get();
        const VIDEOINFOHEADER* vih = input_.mediaType().videoInfo();
        width_ = vih->bmiHeader.biWidth;
        height_ = std::abs(vih->bmiHeader.biHeight);
        interval_ = vih->AvgTimePerFrame > 0 ? vih->AvgTimePerFrame : UNITS / 30;
        const AVRational rate = av::frameRateOf(interval_);
        frameTime_ = {rate.den, rate.num};
        av::RawFormat raw;
        raw_ = av::rawFormatOf(mt, raw);
        flip_ = raw_ && raw.bottomUp;
        flipped_.assign(flip_ ? size_t(dibStride(width_, raw.bitsPerPixel)) * size_t(height_) : 0,
                        0);

        AVFormatContext* context = nullptr;
        if (av::lib().avformat_alloc_output_context2(&context, nullptr, "avi", nullptr) < 0 ||
            !context)
            return E_OUTOFMEMORY;
        av::OutputFormatPtr muxer(context);
        auto* buffer = static_cast<unsigned char*>(av::lib().av_malloc(kIoBufferSize));
        if (!buffer)
            return E_OUTOFMEMORY;
        io_.reset(av::lib().avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr,
                                               &AviMux::write, &AviMux::seek));
        if (!io_) {
            av::lib().av_free(buffer);
            return E_OUTOFMEMORY;
        }
        muxer->pb = io_.get();
        muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
        AVStream* stream = av::lib().avformat_new_stream(muxer.get(), nullptr);
        if (!stream)
            return E_OUTOFMEMORY;
        AVCodecParameters* par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->width = width_;
        par->height = height_;
        stream->time_base = frameTime_;
        stream->avg_frame_rate = rate;
        if (raw_) {
            par->codec_id = AV_CODEC_ID_RAWVIDEO;
            par->codec_tag = raw.aviTag;
            par->format = raw.pixelFormat;
            par->bits_per_coded_sample = raw.bitsPerPixel;
        } else {
            par->codec_id = av::codecOf(mt);
            par->codec_tag = vih->bmiHeader.biCompression;
            const auto extra = av::extradataOf(mt);
            if (!extra.empty()) {
                par->extradata = static_cast<uint8_t*>(
                    av::lib().av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
                if (!par->extradata)
                    return E_OUTOFMEMORY;
                std::memcpy(par->extradata, extra.data(), extra.size());
                par->extradata_size = int(extra.size());
            }
        }
        packet_.reset(av::lib().av_packet_alloc());
        if (!packet_)
            return E_OUTOFMEMORY;
        if (HRESULT hr = stream_->SetSize(0); FAILED(hr))
            return hr;
        stream_->Seek(0, STREAM_SEEK_SET, nullptr);
        position_ = 0;
        size_ = 0;
        failed_ = false;
        error_ = S_OK;
        ioError_ = S_OK;
        nextPicture_ = 0;
        entries_ = 0;
        haveEnd_ = false;
        {
            std::lock_guard lock(countsLock_);
            counts_ = Counts{};
            counts_.interval = interval_;
        }
        const int header = av::lib().avformat_write_header(muxer.get(), nullptr);
        if (header < 0 || io_->error < 0) {
            const HRESULT hr =
                ioError_ != S_OK ? ioError_ : av::resultOf(header < 0 ? header : io_->error);
            io_.reset();
            return hr;
        }
        av::lib().avio_flush(io_.get());
        muxer_ = std::move(muxer);
        return S_OK;
    }

    // Writes the index and the final sizes into the headers, then lets go of the file.
    void endFile() {
        if (!muxer_)
            return;
        // The frames dropped at the end of the recording (none reached the file after them)
        // still take their entries: the file lasts as long as the recording did.
        if (haveEnd_ && interval_ > 0 && entries_ > 0) {
            const int64_t end = (endTime_ + interval_ / 2) / interval_;
            if (end > entries_ && end - entries_ <= kMaxGap)
                writeEmptyUntil(end);
        }
        haveEnd_ = false;
        if (!failed_)
            av::lib().av_write_trailer(muxer_.get());
        av::lib().avio_flush(io_.get());
        muxer_.reset();
        io_.reset();
    }

    // FFmpeg's I/O callbacks, on whichever thread drives the muxer.
    static int write(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<AviMux*>(opaque);
        ULONG written = 0;
        const HRESULT hr = self->stream_->Write(data, ULONG(size), &written);
        self->position_ += written;
        self->size_ = std::max(self->size_, self->position_);
        if (FAILED(hr)) {
            self->ioError_ = hr;
            return hr == STG_E_MEDIUMFULL ? AVERROR(ENOSPC) : AVERROR(EIO);
        }
        return size;
    }
    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<AviMux*>(opaque);
        if (whence & AVSEEK_SIZE)
            return self->size_;
        whence &= ~AVSEEK_FORCE;
        LONGLONG target = offset;
        if (whence == SEEK_CUR)
            target = self->position_ + offset;
        else if (whence == SEEK_END)
            target = self->size_ + offset;
        else if (whence != SEEK_SET)
            return AVERROR(EINVAL);
        ULONGLONG now = 0;
        if (target < 0 || FAILED(self->stream_->Seek(target, STREAM_SEEK_SET, &now)))
            return AVERROR(EINVAL);
        self->position_ = LONGLONG(now);
        return self->position_;
    }

    InputPin input_;
    OutputPin output_;
    ComPtr<IStream> stream_; // the file writer's, while the output is connected

    // The file being written: made on activation (control thread), fed by the streaming
    // thread, finished after streaming has stopped.
    av::OutputFormatPtr muxer_;
    av::IoContextPtr io_;
    av::PacketPtr packet_;
    std::vector<BYTE> flipped_; // one picture, reserved when the file begins
    int width_ = 0, height_ = 0;
    REFERENCE_TIME interval_ = 0;
    AVRational frameTime_{1, 30};
    bool raw_ = false, flip_ = false;
    bool failed_ = false;
    HRESULT error_ = S_OK;
    HRESULT ioError_ = S_OK;
    int64_t nextPicture_ = 0;
    int64_t entries_ = 0; // index entries written, pictures and empty ones
    // Set by the stopping thread before this filter stops; read once streaming has left.
    REFERENCE_TIME endTime_ = 0;
    bool haveEnd_ = false;
    LONGLONG position_ = 0, size_ = 0;

    // What the file holds, for any thread that asks.
    struct Counts {
        LONGLONG entries = 0, pictures = 0, bytes = 0;
        REFERENCE_TIME interval = 0;
        HRESULT writeError = S_OK;
    };
    std::mutex countsLock_;
    Counts counts_;
};

const ClassRegistration registration{CLSID_AviDest, av::createInstance<AviMux>};

} // namespace

} // namespace platform::media

// MediaSplitter (CLSID_MediaSplitter): reads a container file (AVI, MP4, MKV, MOV...) through
// FFmpeg from the file source's pull pin and pushes the packets of its video stream, on a
// streaming thread of its own. It seeks by frame or by time (IMediaSeeking).
#include "media/filters/av_splitter/display_rotation.h"

#include "media/base/base_filter.h"
#include "media/base/base_pin.h"
#include "media/base/output_pin.h"
#include "media/codecs/av_media.h"

#include <platform/com_registry.h>
#include <platform/media/file_interfaces.h>

extern "C" {
#include <libavutil/display.h>
}

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace platform::media {

namespace {

constexpr int kIoBufferSize = 1 << 16;
constexpr HRESULT VFW_E_UNSUPPORTED_STREAM = hresultFromBits(0x80040265);
// Largest packet a sample may hold: a raw 8K picture, with room to spare.
constexpr LONG kMaxPacket = 256 << 20;
// Frames before the one asked where a seek in a file with decode-order times starts: more
// than pictures are ever held back for reordering.
constexpr LONGLONG kDecodeOrderMargin = 16;

class MediaSplitter final : public BaseFilter, public IMediaSeeking, public IDisplayRotation {
public:
    MediaSplitter()
        : BaseFilter(CLSID_MediaSplitter), input_(*this, PINDIR_INPUT, u"Input"),
          output_(*this, u"Video", OutputPin::Buffers::OwnPool) {}
    PLATFORM_FORWARD_IUNKNOWN(BaseFilter)

    // IMediaSeeking. Positions are frames (TIME_FORMAT_FRAME) or 100-ns units; they change
    // only while stopped, as the graph stops around a seek.
    HRESULT GetCapabilities(DWORD* caps) override {
        if (!caps)
            return E_POINTER;
        *caps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetCurrentPos |
                AM_SEEKING_CanGetDuration;
        return S_OK;
    }
    HRESULT CheckCapabilities(DWORD* caps) override {
        if (!caps)
            return E_POINTER;
        DWORD mine = 0;
        GetCapabilities(&mine);
        const DWORD asked = *caps;
        *caps &= mine;
        return *caps == asked ? S_OK : (*caps ? S_FALSE : E_FAIL);
    }
    HRESULT IsFormatSupported(const GUID* format) override {
        if (!format)
            return E_POINTER;
        return *format == TIME_FORMAT_FRAME || *format == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
    }
    HRESULT QueryPreferredFormat(GUID* format) override {
        if (!format)
            return E_POINTER;
        *format = TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    HRESULT GetTimeFormat(GUID* format) override {
        if (!format)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        *format = frames_ ? TIME_FORMAT_FRAME : TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    HRESULT IsUsingTimeFormat(const GUID* format) override {
        GUID current{};
        if (!format)
            return E_POINTER;
        GetTimeFormat(&current);
        return current == *format ? S_OK : S_FALSE;
    }
    HRESULT SetTimeFormat(const GUID* format) override {
        if (!format)
            return E_POINTER;
        if (IsFormatSupported(format) != S_OK)
            return E_INVALIDARG;
        std::lock_guard lock(stateLock());
        if (state() != State_Stopped)
            return VFW_E_WRONG_STATE;
        frames_ = *format == TIME_FORMAT_FRAME;
        return S_OK;
    }
    HRESULT GetDuration(LONGLONG* duration) override {
        if (!duration)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        if (!demuxer_)
            return VFW_E_NOT_CONNECTED;
        *duration = frames_ ? frameCount_ : frameCount_ * interval_;
        return S_OK;
    }
    HRESULT GetStopPosition(LONGLONG* stop) override { return GetDuration(stop); }
    HRESULT GetCurrentPosition(LONGLONG* current) override {
        if (!current)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        *current = frames_ ? startFrame_ : startFrame_ * interval_;
        return S_OK;
    }
    HRESULT ConvertTimeFormat(LONGLONG* target, const GUID* targetFormat, LONGLONG source,
                              const GUID* sourceFormat) override {
        if (!target)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        const bool fromFrames = sourceFormat ? *sourceFormat == TIME_FORMAT_FRAME : frames_;
        const bool toFrames = targetFormat ? *targetFormat == TIME_FORMAT_FRAME : frames_;
        if (interval_ <= 0)
            return E_FAIL;
        const LONGLONG time = fromFrames ? source * interval_ : source;
        *target = toFrames ? time / interval_ : time;
        return S_OK;
    }
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG*, DWORD) override {
        const DWORD positioning = currentFlags & AM_SEEKING_PositioningBitsMask;
        if (positioning == AM_SEEKING_NoPositioning)
            return S_OK;
        if (!current)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        if (!demuxer_)
            return VFW_E_NOT_CONNECTED;
        if (state() != State_Stopped)
            return VFW_E_NOT_STOPPED; // the graph stops around a seek
        LONGLONG frame = frames_ ? *current : (interval_ > 0 ? *current / interval_ : 0);
        if (positioning == AM_SEEKING_RelativePositioning)
            frame += startFrame_;
        if (frame < 0 || (frameCount_ > 0 && frame >= frameCount_))
            return E_INVALIDARG;
        startFrame_ = frame;
        seekPending_ = true;
        return S_OK;
    }
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override {
        if (current)
            GetCurrentPosition(current);
        if (stop)
            GetStopPosition(stop);
        return S_OK;
    }
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override {
        std::lock_guard lock(stateLock());
        if (!demuxer_)
            return VFW_E_NOT_CONNECTED;
        const LONGLONG scale = frames_ ? 1 : interval_;
        if (earliest)
            *earliest = 0;
        if (latest)
            *latest = (frameCount_ - 1) * scale;
        return S_OK;
    }
    HRESULT SetRate(double rate) override { return rate == 1.0 ? S_OK : E_NOTIMPL; }
    HRESULT GetRate(double* rate) override {
        if (!rate)
            return E_POINTER;
        *rate = 1.0;
        return S_OK;
    }
    HRESULT GetPreroll(LONGLONG* preroll) override {
        if (!preroll)
            return E_POINTER;
        *preroll = 0;
        return S_OK;
    }

    // IDisplayRotation: any thread; set while the input connects.
    HRESULT GetRotation(int* degrees) override {
        if (!degrees)
            return E_POINTER;
        std::lock_guard lock(stateLock());
        *degrees = rotation_;
        return S_OK;
    }

protected:
    HRESULT queryOther(REFIID riid, void** object) override {
        if (riid == IID_IMediaSeeking) {
            *object = static_cast<IMediaSeeking*>(this);
            return S_OK;
        }
        if (riid == IID_IDisplayRotation) {
            *object = static_cast<IDisplayRotation*>(this);
            return S_OK;
        }
        return BaseFilter::queryOther(riid, object);
    }
    int pinCount() override { return demuxer_ ? 2 : 1; }
    BasePin* pin(int index) override {
        return index == 0 ? static_cast<BasePin*>(&input_) : &output_;
    }

    HRESULT checkMediaType(const BasePin& pin, const AM_MEDIA_TYPE& mt) override {
        if (&pin == &input_)
            return mt.majortype == MEDIATYPE_Stream ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
        return mt.majortype == type_.get().majortype && mt.subtype == type_.get().subtype &&
                       mt.formattype == type_.get().formattype
                   ? S_OK
                   : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT getMediaType(const BasePin& pin, int position, MediaType& mt) override {
        if (&pin != &output_ || position != 0 || !demuxer_)
            return VFW_S_NO_MORE_ITEMS;
        mt = type_;
        return S_OK;
    }
    HRESULT checkConnect(const BasePin& pin, IPin* peer) override {
        if (&pin == &output_)
            return demuxer_ ? S_OK : VFW_E_NOT_CONNECTED;
        ComPtr<IAsyncReader> reader;
        const HRESULT hr =
            peer->QueryInterface(IID_IAsyncReader, reinterpret_cast<void**>(reader.GetAddressOf()));
        return FAILED(hr) ? VFW_E_NO_TRANSPORT : S_OK;
    }
    // Connecting thread, filter stopped: the file is opened and its video stream chosen when
    // the input connects, so the output can offer that stream's type.
    HRESULT completeConnect(BasePin& pin) override {
        if (&pin != &input_)
            return S_OK;
        ComPtr<IAsyncReader> reader;
        if (FAILED(input_.peer()->QueryInterface(IID_IAsyncReader,
                                                 reinterpret_cast<void**>(reader.GetAddressOf()))))
            return VFW_E_NO_TRANSPORT;
        reader_ = reader;
        if (HRESULT hr = openFile(); FAILED(hr)) {
            closeFile();
            return hr;
        }
        return S_OK;
    }
    void breakConnect(BasePin& pin) override {
        if (&pin == &input_)
            closeFile();
    }
    HRESULT decideBufferSize(OutputPin&, ALLOCATOR_PROPERTIES& props) override {
        const VIDEOINFOHEADER* vih = type_.videoInfo();
        const size_t picture = size_t(vih->bmiHeader.biWidth) * std::abs(vih->bmiHeader.biHeight);
        props.cBuffers = 4;
        props.cbBuffer = LONG(std::min<size_t>(picture * 4 + (1 << 20), kMaxPacket));
        props.cbAlign = 1;
        return S_OK;
    }

    // Stopped -> Paused, state lock held: the thread starts and cues from the position.
    HRESULT onActivate() override {
        if (!demuxer_ || !output_.isConnected())
            return S_OK;
        {
            std::lock_guard lock(threadMutex_);
            stopRequested_ = false;
        }
        thread_ = std::thread([this] { streamLoop(); });
        return S_OK;
    }
    void onStopping() override {
        std::lock_guard lock(threadMutex_);
        stopRequested_ = true;
        wake_.notify_all();
    }
    void onStopped() override {
        if (thread_.joinable())
            thread_.join();
    }

private:
    ~MediaSplitter() override {
        Stop();
        closeFile();
    }

    bool stopping() {
        std::lock_guard lock(threadMutex_);
        return stopRequested_;
    }

    HRESULT openFile() {
        auto* buffer = static_cast<unsigned char*>(av::lib().av_malloc(kIoBufferSize));
        if (!buffer)
            return E_OUTOFMEMORY;
        io_.reset(av::lib().avio_alloc_context(buffer, kIoBufferSize, 0, this, &MediaSplitter::read,
                                               nullptr, &MediaSplitter::seek));
        if (!io_) {
            av::lib().av_free(buffer);
            return E_OUTOFMEMORY;
        }
        AVFormatContext* context = av::lib().avformat_alloc_context();
        if (!context)
            return E_OUTOFMEMORY;
        context->pb = io_.get();
        context->flags |= AVFMT_FLAG_CUSTOM_IO;
        position_ = 0;
        if (av::lib().avformat_open_input(&context, nullptr, nullptr, nullptr) < 0)
            return VFW_E_UNKNOWN_FILE_TYPE; // FFmpeg freed the context
        av::InputFormatPtr demuxer(context);
        if (av::lib().avformat_find_stream_info(demuxer.get(), nullptr) < 0)
            return VFW_E_UNKNOWN_FILE_TYPE;
        const int index =
            av::lib().av_find_best_stream(demuxer.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (index < 0)
            return VFW_E_UNSUPPORTED_STREAM;
        AVStream* stream = demuxer->streams[index];
        const AVCodecParameters* par = stream->codecpar;
        AVRational rate =
            stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0)
            return VFW_E_UNSUPPORTED_STREAM;
        interval_ = av::lib().av_rescale(UNITS, rate.den, rate.num);
        if (interval_ <= 0)
            return VFW_E_UNSUPPORTED_STREAM;
        if (!typeFor(*par, stream->time_base))
            return VFW_E_UNSUPPORTED_STREAM;
        streamIndex_ = index;
        startPts_ = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        timeBase_ = stream->time_base;
        LONGLONG total = 0, available = 0;
        if (FAILED(reader_->Length(&total, &available)))
            return E_FAIL;
        for (unsigned i = 0; i < demuxer->nb_streams; ++i)
            demuxer->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        const Start start = probeStart(*demuxer, index);
        decodeOrder_ = start.decodeOrder;
        const AVCodecDescriptor* codec = av::lib().avcodec_descriptor_get(par->codec_id);
        seekMargin_ = decodeOrder_ && !(codec && (codec->props & AV_CODEC_PROP_INTRA_ONLY))
                          ? kDecodeOrderMargin
                          : 0;
        frameCount_ = countFrames(*demuxer, *stream, rate);
        if (frameCount_ <= 0 || lacksIndexOfWholeFile(*demuxer, *stream, total))
            frameCount_ = scanFrames(*demuxer, index, int(type_.get().lSampleSize));
        else
            frameCount_ = std::min(frameCount_, picturesInFile(*stream, frameCount_, total));
        if (start.leading > 0 && start.keyTime != AV_NOPTS_VALUE) {
            // Pictures before the first key frame cannot be decoded: frame 0 is the key frame.
            startPts_ = start.keyTime;
            frameCount_ = std::max<LONGLONG>(0, frameCount_ - start.leading);
        }
        packet_.reset(av::lib().av_packet_alloc());
        if (!packet_)
            return E_OUTOFMEMORY;
        const int rotation = rotationOf(*stream);
        std::lock_guard lock(stateLock());
        rotation_ = rotation;
        demuxer_ = std::move(demuxer);
        startFrame_ = 0;
        seekPending_ = false;
        atStart_ = true;
        return S_OK;
    }

    bool typeFor(const AVCodecParameters& par, AVRational) {
        if (par.width <= 0 || par.height <= 0 || par.width > 16384 || par.height > 16384)
            return false;
        if (par.codec_id != AV_CODEC_ID_RAWVIDEO)
            return av::compressedVideoType(par.codec_id, par.width, par.height, interval_,
                                           {par.extradata, size_t(std::max(0, par.extradata_size))},
                                           type_);
        // Uncompressed pictures go out as the picture types the converter takes.
        GUID subtype{};
        int bits = 0;
        switch (AVPixelFormat(par.format)) {
        case AV_PIX_FMT_BGR24:
            subtype = MEDIASUBTYPE_RGB24;
            bits = 24;
            break;
        case AV_PIX_FMT_BGRA:
        case AV_PIX_FMT_BGR0:
            subtype = MEDIASUBTYPE_RGB32;
            bits = 32;
            break;
        case AV_PIX_FMT_YUYV422:
            subtype = MEDIASUBTYPE_YUY2;
            bits = 16;
            break;
        case AV_PIX_FMT_YUV420P:
            subtype = MEDIASUBTYPE_I420;
            bits = 12;
            break;
        case AV_PIX_FMT_NV12:
            subtype = MEDIASUBTYPE_NV12;
            bits = 12;
            break;
        case AV_PIX_FMT_GRAY8:
            subtype = MEDIASUBTYPE_Y800;
            bits = 8;
            break;
        default:
            return false;
        }
        BITMAPINFOHEADER header{};
        header.biSize = sizeof(header);
        header.biWidth = par.width;
        // RGB rows that FFmpeg reads top-down; DIB rows when the file stores them bottom-up.
        const bool bottomUp =
            par.extradata_size >= 9 && par.extradata &&
            std::memcmp(par.extradata + par.extradata_size - 9, "BottomUp", 8) == 0;
        // Pictures leave bottom-up, as every frame of this system is: top-down rows are
        // turned over while they are copied into the sample.
        header.biHeight = par.height;
        flipRows_ = bits >= 24 && !bottomUp;
        header.biPlanes = 1;
        header.biBitCount = WORD(bits);
        header.biCompression = bits >= 24 ? BI_RGB : subtype.Data1;
        av::RawFormat raw{};
        header.biSizeImage = 0;
        type_ = MediaType::video(subtype, header, interval_);
        if (!av::rawFormatOf(type_.get(), raw))
            return false;
        const size_t w = size_t(par.width), h = size_t(par.height), cw = (w + 1) / 2,
                     ch = (h + 1) / 2;
        const size_t size = bits >= 24   ? size_t(dibStride(par.width, bits)) * h
                            : bits == 16 ? cw * 4 * h
                            : bits == 12 ? w * h + 2 * cw * ch
                                         : w * h;
        type_.videoInfo()->bmiHeader.biSizeImage = DWORD(size);
        type_.get().lSampleSize = ULONG(size);
        return true;
    }

    // The stream's frame count: the container's when it keeps one, else its duration at the
    // frame rate.
    static LONGLONG countFrames(const AVFormatContext& demuxer, const AVStream& stream,
                                AVRational rate) {
        if (stream.nb_frames > 0)
            return stream.nb_frames;
        if (stream.duration > 0 && stream.duration != AV_NOPTS_VALUE)
            return av::lib().av_rescale_q_rnd(stream.duration, stream.time_base, av_inv_q(rate),
                                              AV_ROUND_NEAR_INF);
        if (demuxer.duration > 0)
            return av::lib().av_rescale_q_rnd(demuxer.duration, {1, AV_TIME_BASE}, av_inv_q(rate),
                                              AV_ROUND_NEAR_INF);
        return 0;
    }

    // A file whose headers tell nothing or not all (a recording cut short before its index
    // was written, or with its later RIFFs unindexed): its packets are counted, up to a
    // bound, and reading starts over. A demuxer that indexes such a file as it reads takes
    // every picture for a key frame; the pictures met correct that, so a seek lands on a
    // real key frame. A raw picture cut short at the end counts as none.
    static LONGLONG scanFrames(AVFormatContext& demuxer, int index, int pictureSize) {
        constexpr LONGLONG kMaxScanned = 1 << 20;
        av::PacketPtr packet(av::lib().av_packet_alloc());
        AVStream* stream = demuxer.streams[index];
        LONGLONG count = 0;
        while (packet && count < kMaxScanned &&
               av::lib().av_read_frame(&demuxer, packet.get()) >= 0) {
            if (packet->stream_index == index && packet->size >= pictureSize) {
                ++count;
                markKeyFrame(*stream, *packet);
            }
            av::lib().av_packet_unref(packet.get());
        }
        rewind(demuxer, index);
        return count;
    }

    // The demuxer's index entry for the packet's time, when it has one, says whether the
    // packet is a key frame.
    static void markKeyFrame(AVStream& stream, const AVPacket& packet) {
        const int64_t time = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
        if (time == AV_NOPTS_VALUE)
            return;
        const int at = av::lib().av_index_search_timestamp(&stream, time, AVSEEK_FLAG_ANY);
        const AVIndexEntry* entry =
            at >= 0 ? av::lib().avformat_index_get_entry(&stream, at) : nullptr;
        if (!entry || entry->timestamp != time)
            return;
        const int key = packet.flags & AV_PKT_FLAG_KEY ? AVINDEX_KEYFRAME : 0;
        if ((entry->flags & AVINDEX_KEYFRAME) == key)
            return;
        const AVIndexEntry copy = *entry; // the call below may move the entries
        av::lib().av_add_index_entry(&stream, copy.pos, copy.timestamp, copy.size,
                                     copy.min_distance, key);
    }

    // Back to the stream's first packet, through the index where there is one: a seek by
    // bytes leaves some demuxers (AVI) counting frames from where they were.
    static void rewind(AVFormatContext& demuxer, int index) {
        AVStream* stream = demuxer.streams[index];
        const AVIndexEntry* first = av::lib().avformat_index_get_entry(stream, 0);
        if (first && av::lib().av_seek_frame(&demuxer, index, first->timestamp,
                                             AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) >= 0)
            return;
        av::lib().av_seek_frame(&demuxer, index, 0, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_BYTE);
        av::lib().avformat_seek_file(&demuxer, index, INT64_MIN, 0, 0, 0);
    }

    // The clockwise turn the stream's display matrix asks for, in quarter turns; mirrored
    // or sheared matrices are not turned.
    static int rotationOf(const AVStream& stream) {
        const int32_t* matrix = nullptr;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
        const AVPacketSideData* side = av::lib().av_packet_side_data_get(
            stream.codecpar->coded_side_data, stream.codecpar->nb_coded_side_data,
            AV_PKT_DATA_DISPLAYMATRIX);
        if (side && side->size >= 9 * sizeof(int32_t))
            matrix = reinterpret_cast<const int32_t*>(side->data);
#else
        size_t size = 0;
        const uint8_t* data =
            av::lib().av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        if (data && size >= 9 * sizeof(int32_t))
            matrix = reinterpret_cast<const int32_t*>(data);
#endif
        if (!matrix)
            return 0;
        const double angle = av::lib().av_display_rotation_get(matrix);
        if (std::isnan(angle))
            return 0;
        const int clockwise = int(std::lround(-angle / 90.0)) * 90;
        return ((clockwise % 360) + 360) % 360;
    }

    // What the first packets tell, read once when the file opens; reading starts over.
    // AVI stores decode-order times and no presentation times: a stream whose packets come
    // without them needs its pictures put in presentation order by the decoder. A clip cut
    // out of a longer one may start with pictures that refer to what was cut away.
    struct Start {
        bool decodeOrder = false;
        LONGLONG leading = 0;             // packets before the first key frame
        int64_t keyTime = AV_NOPTS_VALUE; // presentation time of the first key frame
    };
    static Start probeStart(AVFormatContext& demuxer, int index) {
        constexpr int kMaxProbed = 4096;
        av::PacketPtr packet(av::lib().av_packet_alloc());
        Start start;
        bool key = false;
        for (int seen = 0; packet && seen < kMaxProbed && (seen < 16 || !key) &&
                           av::lib().av_read_frame(&demuxer, packet.get()) >= 0;) {
            if (packet->stream_index == index) {
                ++seen;
                start.decodeOrder |= packet->pts == AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE;
                if (!key && (packet->flags & AV_PKT_FLAG_KEY)) {
                    key = true;
                    start.keyTime = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                } else if (!key) {
                    ++start.leading;
                }
            }
            av::lib().av_packet_unref(packet.get());
        }
        if (!key)
            start.leading = 0; // no key frame seen: nothing to count from
        rewind(demuxer, index);
        return start;
    }

    // An AVI whose index covers only part of its data: the index was never written (the
    // recording was killed) or covers only the first RIFF of an OpenDML file. Past the last
    // indexed picture a whole file holds only the empty chunks of the frames dropped after it
    // (8 bytes each) and its legacy index (16 bytes an entry). The demuxer indexes pictures
    // only; the empty entries count in the timeline its index times and in the headers'
    // frame count, so those say how many entries the index holds.
    static bool lacksIndexOfWholeFile(const AVFormatContext& demuxer, const AVStream& stream,
                                      LONGLONG fileSize) {
        if (!demuxer.iformat || std::strcmp(demuxer.iformat->name, "avi") != 0)
            return false;
        const int entries = av::lib().avformat_index_get_entries_count(&stream);
        const AVIndexEntry* last =
            entries > 0
                ? av::lib().avformat_index_get_entry(const_cast<AVStream*>(&stream), entries - 1)
                : nullptr;
        if (!last)
            return true;
        constexpr LONGLONG kIndexEntryBytes = 16, kEmptyChunkBytes = 8;
        const LONGLONG indexed = std::max<LONGLONG>(entries, last->timestamp + 1);
        const LONGLONG timeline = std::max<LONGLONG>(indexed, stream.nb_frames);
        const LONGLONG after = fileSize - (last->pos + last->size);
        return after >
               timeline * kIndexEntryBytes + (timeline - indexed) * kEmptyChunkBytes + (64 << 10);
    }

    // A file cut short whose index lies before its pictures (an MP4 with its index at the
    // front) names pictures it does not hold: only those whose bytes are all in the file
    // count.
    static LONGLONG picturesInFile(const AVStream& stream, LONGLONG count, LONGLONG fileSize) {
        const int entries = av::lib().avformat_index_get_entries_count(&stream);
        if (entries < count)
            return count; // an index of key frames only says nothing of the others
        LONGLONG present = 0;
        for (int i = 0; i < entries; ++i) {
            const AVIndexEntry* entry =
                av::lib().avformat_index_get_entry(const_cast<AVStream*>(&stream), i);
            if (entry && entry->pos + entry->size <= fileSize)
                ++present;
        }
        return present;
    }

    void closeFile() {
        std::lock_guard lock(stateLock());
        demuxer_.reset();
        io_.reset();
        packet_.reset();
        reader_ = nullptr;
        type_.clear();
        frameCount_ = 0;
        rotation_ = 0;
    }

    // Streaming thread: seeks to the start frame, then reads and delivers packets until the
    // file ends, delivery is refused or the filter stops.
    void streamLoop() {
        StreamGate::ThreadScope streaming;
        bool discontinuity = true;
        LONGLONG startFrame = 0;
        bool seek = false;
        {
            std::lock_guard lock(stateLock());
            startFrame = startFrame_;
            seek = seekPending_ || !atStart_;
            seekPending_ = false;
        }
        atStart_ = false;
        bool pending = false;
        if (seek || startFrame != 0)
            pending = seekTo(startFrame);
        const REFERENCE_TIME origin = startFrame * interval_;
        LONGLONG decodeIndex = 0;
        // A picture before the position sought, kept until the next one says whether it is
        // still on screen at the position: a file whose empty entries hold a picture for
        // several frames (a camera below its rate) shows that picture there, as players do.
        HeldPicture held;
        while (!stopping()) {
            const int got = pending ? 0 : av::lib().av_read_frame(demuxer_.get(), packet_.get());
            pending = false;
            if (got == AVERROR(EAGAIN))
                continue;
            if (got < 0) {
                held.deliver(output_, interval_, true); // the last picture, past the end
                output_.deliverEndOfStream();
                break;
            }
            if (packet_->stream_index != streamIndex_ || packet_->size <= 0) {
                av::lib().av_packet_unref(packet_.get());
                continue;
            }
            IMediaSample* sample = nullptr;
            if (FAILED(output_.getDeliveryBuffer(&sample))) {
                av::lib().av_packet_unref(packet_.get());
                break; // decommitted: stopping
            }
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            HRESULT hr = S_OK;
            if (packet_->size <= sample->GetSize()) {
                copyPacket(data);
                sample->SetActualDataLength(packet_->size);
                const int64_t pts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
                REFERENCE_TIME start = 0;
                if (pts != AV_NOPTS_VALUE)
                    start = av::lib().av_rescale_q(pts - startPts_, timeBase_, {1, int(UNITS)}) -
                            origin;
                REFERENCE_TIME end = start + interval_;
                sample->SetTime(&start, &end);
                sample->SetSyncPoint((packet_->flags & AV_PKT_FLAG_KEY) != 0);
                const bool preroll = start + interval_ / 2 < 0;
                sample->SetPreroll(preroll);
                sample->SetDiscontinuity(discontinuity);
                discontinuity = false;
                if (decodeOrder_) {
                    // The time is a decode time: the decoder reorders times to its pictures.
                    LONGLONG index = decodeIndex++, next = decodeIndex;
                    sample->SetMediaTime(&index, &next);
                }
                // Only pictures stored in presentation order (a decode time that is also the
                // presentation time) can be judged by the next one's time.
                const bool ordered =
                    !decodeOrder_ && packet_->pts != AV_NOPTS_VALUE && packet_->pts == packet_->dts;
                hr = held.deliver(output_, interval_, ordered && start >= interval_ / 2);
                if (SUCCEEDED(hr)) {
                    if (preroll && ordered)
                        held.keep(sample);
                    else
                        hr = output_.deliver(sample);
                }
            }
            sample->Release();
            av::lib().av_packet_unref(packet_.get());
            if (FAILED(hr))
                break; // downstream refused: idle until stopped
        }
        std::unique_lock lock(threadMutex_);
        wake_.wait(lock, [&] { return stopRequested_; });
    }

    // Streaming thread: a picture before the position sought, waiting for the next one.
    class HeldPicture {
    public:
        HeldPicture() = default;
        HeldPicture(const HeldPicture&) = delete;
        HeldPicture& operator=(const HeldPicture&) = delete;
        ~HeldPicture() { drop(); }

        void keep(IMediaSample* sample) {
            drop();
            sample->AddRef();
            sample_ = sample;
        }
        // Delivers the held picture, if any: as the picture on screen at the position (moved
        // to it) when `shown`, else as preroll. S_OK when nothing was held.
        HRESULT deliver(OutputPin& output, REFERENCE_TIME interval, bool shown) {
            if (!sample_)
                return S_OK;
            if (shown) {
                REFERENCE_TIME start = 0, end = interval;
                sample_->SetTime(&start, &end);
                sample_->SetPreroll(FALSE);
            }
            const HRESULT hr = output.deliver(sample_);
            drop();
            return hr;
        }

    private:
        void drop() {
            if (sample_)
                sample_->Release();
            sample_ = nullptr;
        }
        IMediaSample* sample_ = nullptr;
    };

    // Streaming thread: the packet into the sample, turning RGB rows over when asked.
    void copyPacket(BYTE* data) {
        const size_t size = size_t(packet_->size);
        const LONG height = type_.videoInfo()->bmiHeader.biHeight;
        const size_t stride = height > 0 ? size / size_t(height) : 0;
        if (!flipRows_ || stride == 0 || stride * size_t(height) != size) {
            std::memcpy(data, packet_->data, size);
            return;
        }
        for (LONG row = 0; row < height; ++row)
            std::memcpy(data + size_t(row) * stride,
                        packet_->data + size_t(height - 1 - row) * stride, stride);
    }

    // Streaming thread: finds the key frame at or before `frame` and leaves its packet in
    // `packet_` (true), or starts the file over (false). A demuxer may land on a later key
    // frame (no index) or a picture that is no key frame; then the seek goes back further,
    // twice as far each time. Decode-order times say little of where a key frame is shown,
    // so such files start a few frames earlier; what lies before the frame is preroll.
    bool seekTo(LONGLONG frame) {
        AVFormatContext* demuxer = demuxer_.get();
        const int64_t target = timeOf(frame);
        for (LONGLONG back = seekMargin_;; back = back ? back * 2 : 1) {
            if (frame - back <= 0)
                break;
            if (av::lib().av_seek_frame(demuxer, streamIndex_, timeOf(frame - back),
                                        AVSEEK_FLAG_BACKWARD) < 0)
                break;
            const int got = readVideoPacket();
            if (got < 0)
                continue; // nothing there: further back
            const int64_t time = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
            if ((packet_->flags & AV_PKT_FLAG_KEY) && time != AV_NOPTS_VALUE && time <= target)
                return true;
            av::lib().av_packet_unref(packet_.get());
        }
        rewind(*demuxer, streamIndex_);
        return false;
    }

    int64_t timeOf(LONGLONG frame) const {
        return startPts_ + av::lib().av_rescale_q(frame * interval_, {1, int(UNITS)}, timeBase_);
    }

    // The next packet of the video stream, bounded: 0, or an error.
    int readVideoPacket() {
        for (int tries = 0; tries < 4096; ++tries) {
            const int got = av::lib().av_read_frame(demuxer_.get(), packet_.get());
            if (got < 0)
                return got;
            if (packet_->stream_index == streamIndex_ && packet_->size > 0)
                return 0;
            av::lib().av_packet_unref(packet_.get());
        }
        return AVERROR(EAGAIN);
    }

    // FFmpeg's I/O callbacks: the streaming thread, or the connecting thread while opening.
    static int read(void* opaque, uint8_t* buffer, int size) {
        auto* self = static_cast<MediaSplitter*>(opaque);
        LONGLONG total = 0, available = 0;
        if (FAILED(self->reader_->Length(&total, &available)))
            return AVERROR(EIO);
        const LONGLONG left = total - self->position_;
        if (left <= 0)
            return AVERROR_EOF;
        const LONG count = LONG(std::min<LONGLONG>(left, size));
        if (FAILED(self->reader_->SyncRead(self->position_, count, buffer)))
            return AVERROR(EIO);
        self->position_ += count;
        return count;
    }
    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<MediaSplitter*>(opaque);
        LONGLONG total = 0, available = 0;
        if (FAILED(self->reader_->Length(&total, &available)))
            return AVERROR(EIO);
        if (whence & AVSEEK_SIZE)
            return total;
        whence &= ~AVSEEK_FORCE;
        const LONGLONG base = whence == SEEK_CUR ? self->position_ : whence == SEEK_END ? total : 0;
        if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
            return AVERROR(EINVAL);
        const LONGLONG target = base + offset;
        if (target < 0)
            return AVERROR(EINVAL);
        self->position_ = target;
        return target;
    }

    BasePin input_;
    OutputPin output_;
    ComPtr<IAsyncReader> reader_;

    // The open file: set up on the connecting thread while stopped, read by the streaming
    // thread while active; the position fields are guarded by the state lock.
    av::IoContextPtr io_;
    av::InputFormatPtr demuxer_;
    av::PacketPtr packet_;
    MediaType type_;
    int streamIndex_ = -1;
    int64_t startPts_ = 0;
    AVRational timeBase_{1, 1};
    REFERENCE_TIME interval_ = 0;
    LONGLONG frameCount_ = 0;
    LONGLONG position_ = 0; // byte position of FFmpeg's reads
    bool frames_ = false;
    LONGLONG startFrame_ = 0;
    bool seekPending_ = false;
    bool atStart_ = true;
    bool flipRows_ = false;
    bool decodeOrder_ = false; // packets carry decode-order times only (AVI)
    int rotation_ = 0;         // clockwise degrees the pictures are shown turned by
    LONGLONG seekMargin_ = 0;  // frames a seek starts before the frame asked

    std::thread thread_;
    std::mutex threadMutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;
};

const ClassRegistration registration{CLSID_MediaSplitter, av::createInstance<MediaSplitter>};

} // namespace

} // namespace platform::media

// The video compressor category: one entry per usable FFmpeg encoder, listed by the device
// enumerator in a stable order.
#include "media/codecs/compressors.h"

#include "media/codecs/av_media.h"

#include <platform/media/device_interfaces.h>
#include <platform/media/device_providers.h>

#include <mutex>

namespace platform::media {

namespace {

std::vector<CompressorSpec> candidates() {
    return {
        {u"MJPEG", "mjpeg", {AV_PIX_FMT_YUVJ420P}},
        {u"FFV1 Lossless", "ffv1", {}},
        {u"MPEG-4 Part 2", "mpeg4", {AV_PIX_FMT_YUV420P}},
        {u"H.264", "libx264", {AV_PIX_FMT_YUV420P}},
    };
}

// An encoder counts as usable when it opens for a small picture: a listed FFmpeg encoder may
// still lack its library or hardware.
bool opens(const CompressorSpec& spec) {
    const AVCodec* codec = av::lib().avcodec_find_encoder_by_name(spec.encoder);
    if (!codec)
        return false;
    av::CodecContextPtr context(av::lib().avcodec_alloc_context3(codec));
    if (!context)
        return false;
    context->width = 64;
    context->height = 64;
    context->time_base = {1, 30};
    context->pix_fmt = spec.pixelFormats.empty()
                           ? (codec->pix_fmts ? codec->pix_fmts[0] : AV_PIX_FMT_YUV420P)
                           : spec.pixelFormats.front();
    context->thread_count = 1;
    return av::lib().avcodec_open2(context.get(), codec, nullptr) >= 0;
}

class CompressorProvider final : public DeviceProvider {
public:
    std::vector<DeviceEntry> devices(REFCLSID category) override {
        if (category != CLSID_VideoCompressorCategory)
            return {};
        std::vector<DeviceEntry> list;
        for (const CompressorSpec& spec : usableCompressors()) {
            DeviceEntry entry;
            entry.friendlyName = spec.friendlyName;
            entry.bind = [&spec](REFIID riid, void** object) {
                return createVideoCompressor(spec, riid, object);
            };
            list.push_back(std::move(entry));
        }
        return list;
    }
};

[[maybe_unused]] const int registration =
    registerDeviceProvider(std::make_shared<CompressorProvider>(), kRankSystem);

} // namespace

const std::vector<CompressorSpec>& usableCompressors() {
    // Probed once: opening encoders costs milliseconds, and what FFmpeg offers does not change
    // while the process runs.
    static const std::vector<CompressorSpec> usable = [] {
        std::vector<CompressorSpec> found;
        if (!av::available())
            return found;
        for (CompressorSpec& spec : candidates())
            if (opens(spec))
                found.push_back(std::move(spec));
        return found;
    }();
    return usable;
}

} // namespace platform::media

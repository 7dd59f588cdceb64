// Lists the V4L2 capture nodes as video input devices, found afresh on every enumeration.
#include "media/sources/v4l2/discovery.h"
#include "media/sources/v4l2/v4l2_source.h"

#include <platform/media/device_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/text.h>

namespace platform::media::v4l2 {
namespace {

// UTF-8 from the driver to UTF-16; bytes that are not valid UTF-8 become '?'.
std::u16string toUtf16(const std::string& text) {
    const int needed =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
    if (needed > 0) {
        std::u16string wide(size_t(needed), u'\0');
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), needed);
        wide.resize(size_t(needed - 1));
        return wide;
    }
    std::u16string ascii;
    for (unsigned char c : text)
        ascii.push_back(c < 0x80 ? char16_t(c) : u'?');
    return ascii;
}

class V4l2Provider final : public DeviceProvider {
public:
    explicit V4l2Provider(std::shared_ptr<V4l2Io> io) : io_(std::move(io)) {}
    std::vector<DeviceEntry> devices(REFCLSID category) override {
        if (category != CLSID_VideoInputDeviceCategory)
            return {};
        std::vector<DeviceEntry> entries;
        for (const CaptureNode& node : discoverCaptureNodes(*io_)) {
            DeviceEntry entry;
            entry.friendlyName = toUtf16(node.card);
            entry.description = toUtf16(node.description);
            entry.devicePath = toUtf16(node.devicePath);
            // Bound by its stable path, so the filter opens whatever node the link names
            // when it is bound, not when it was listed.
            entry.bind = [io = io_, path = node.devicePath](REFIID riid, void** object) {
                return createV4l2Source(io, nodeForPath(*io, path), riid, object);
            };
            entries.push_back(std::move(entry));
        }
        return entries;
    }

private:
    const std::shared_ptr<V4l2Io> io_;
};

[[maybe_unused]] const int systemProvider =
    registerV4l2Provider(std::shared_ptr<V4l2Io>(&systemIo(), [](V4l2Io*) {}), kRankSystem);

} // namespace

int registerV4l2Provider(std::shared_ptr<V4l2Io> io, int rank) {
    return registerDeviceProvider(std::make_shared<V4l2Provider>(std::move(io)), rank);
}

} // namespace platform::media::v4l2

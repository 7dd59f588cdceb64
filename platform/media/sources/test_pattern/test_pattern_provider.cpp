// Lists the test-pattern camera after every other video input device.
#include <platform/media/device_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/media/test_pattern_camera.h>

namespace platform::media {
namespace {

class TestPatternProvider final : public DeviceProvider {
public:
    std::vector<DeviceEntry> devices(REFCLSID category) override {
        if (category != CLSID_VideoInputDeviceCategory)
            return {};
        DeviceEntry entry;
        entry.friendlyName = kTestPatternName;
        entry.description = u"Built-in test pattern";
        entry.devicePath = kTestPatternPath;
        entry.bind = [](REFIID riid, void** object) {
            return createTestPatternCamera({}, riid, object);
        };
        return {std::move(entry)};
    }
};

[[maybe_unused]] const int registration =
    registerDeviceProvider(std::make_shared<TestPatternProvider>(), kRankLast);

} // namespace
} // namespace platform::media

// A device provider listing two test-pattern cameras, one delivering YUY2 and one MJPG, for
// tests and benchmarks that need a chosen format (the built-in camera offers all of them).
#pragma once

#include <platform/media/device_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/media/test_pattern_camera.h>

#include <string>
#include <vector>

namespace testsupport {

class PatternCameraProvider final : public platform::media::DeviceProvider {
public:
    // Lists "<name> YUY2" at "<path>:yuy2" and "<name> MJPG" at "<path>:mjpg"; `paced` as in
    // TestPatternOptions (unpaced for benchmarks that run flat out).
    PatternCameraProvider(std::u16string name, std::u16string path, bool paced)
        : m_name(std::move(name)), m_path(std::move(path)), m_paced(paced) {}

    std::vector<platform::media::DeviceEntry> devices(REFCLSID category) override {
        if (category != CLSID_VideoInputDeviceCategory)
            return {};
        auto camera = [paced = m_paced](const GUID& subtype) {
            return [subtype, paced](REFIID riid, void** object) {
                return platform::media::createTestPatternCamera({{subtype}, paced}, riid, object);
            };
        };
        return {{m_name + u" YUY2", u"", m_path + u":yuy2", camera(MEDIASUBTYPE_YUY2)},
                {m_name + u" MJPG", u"", m_path + u":mjpg", camera(MEDIASUBTYPE_MJPG)}};
    }

private:
    std::u16string m_name;
    std::u16string m_path;
    bool m_paced;
};

} // namespace testsupport

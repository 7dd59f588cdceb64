// Walks /dev for video nodes, keeps those that capture, and pairs them with by-id links.
#include "media/sources/v4l2/discovery.h"

#include "media/sources/v4l2/v4l2_device.h"

#include <algorithm>
#include <charconv>
#include <linux/videodev2.h>
#include <map>

namespace platform::media::v4l2 {
namespace {

constexpr const char* kDevDir = "/dev";
constexpr const char* kByIdDir = "/dev/v4l/by-id";
// More nodes than any machine has; a bound so a strange /dev cannot make us open thousands.
constexpr size_t kMaxNodes = 256;

// The N of "videoN", or -1 for any other name.
int videoNumber(const std::string& name) {
    constexpr std::string_view prefix = "video";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    int number = -1;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    auto [end, ec] = std::from_chars(first, last, number);
    return ec == std::errc() && end == last ? number : -1;
}

} // namespace

std::string fieldText(const unsigned char* field, size_t size) {
    std::string text;
    for (size_t i = 0; i < size && field[i] != 0; ++i)
        text.push_back(field[i] < 0x20 || field[i] == 0x7f ? ' ' : char(field[i]));
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::vector<CaptureNode> discoverCaptureNodes(V4l2Io& io) {
    std::vector<std::pair<int, std::string>> numbered;
    for (const std::string& name : io.listDirectory(kDevDir)) {
        if (const int number = videoNumber(name); number >= 0)
            numbered.emplace_back(number, std::string(kDevDir) + "/" + name);
    }
    std::sort(numbered.begin(), numbered.end());
    if (numbered.size() > kMaxNodes)
        numbered.resize(kMaxNodes);

    // Stable links: the first by-id name (in sorted order) that resolves to each node.
    std::map<std::string, std::string> links;
    std::vector<std::string> ids = io.listDirectory(kByIdDir);
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids) {
        const std::string link = std::string(kByIdDir) + "/" + id;
        if (const std::string target = io.resolvePath(link); !target.empty())
            links.emplace(target, link);
    }

    std::vector<CaptureNode> nodes;
    for (const auto& entry : numbered) {
        const std::string& node = entry.second;
        DeviceFd fd;
        if (DeviceFd::open(io, node, &fd) < 0)
            continue;
        v4l2_capability caps{};
        if (fd.ioctl(VIDIOC_QUERYCAP, &caps) < 0)
            continue;
        // The node's own capabilities; the whole device's only from drivers that predate them.
        const uint32_t nodeCaps =
            (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
        if (!(nodeCaps & V4L2_CAP_VIDEO_CAPTURE) || !(nodeCaps & V4L2_CAP_STREAMING))
            continue;
        CaptureNode found;
        found.node = node;
        const std::string resolved = io.resolvePath(node);
        auto link = links.find(resolved.empty() ? node : resolved);
        found.devicePath = link != links.end() ? link->second : node;
        found.card = fieldText(caps.card, sizeof(caps.card));
        found.driver = fieldText(caps.driver, sizeof(caps.driver));
        found.busInfo = fieldText(caps.bus_info, sizeof(caps.bus_info));
        if (found.card.empty())
            found.card = node;
        found.description = (found.driver.empty() ? std::string("V4L2") : found.driver) +
                            " video capture" +
                            (found.busInfo.empty() ? std::string() : " at " + found.busInfo);
        nodes.push_back(std::move(found));
    }
    return nodes;
}

std::string nodeForPath(V4l2Io& io, const std::string& devicePath) {
    const std::string resolved = io.resolvePath(devicePath);
    return resolved.empty() ? devicePath : resolved;
}

} // namespace platform::media::v4l2

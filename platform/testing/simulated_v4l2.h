// SimulatedV4l2: V4L2 devices in memory, answering ioctls as the kernel documents them. Test-only:
// built into a static library that tests link, never into libplatform.
#pragma once

#include "media/sources/v4l2/v4l2_io.h"

#include <platform/media/media_types.h>

#include <linux/videodev2.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::media::v4l2::testing {

struct SimFormat {
    uint32_t fourcc = 0;
    std::string description;
    // Discrete sizes, or (when `stepwise`) the one range in `range`.
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    bool stepwise = false;
    v4l2_frmsize_stepwise range{};
    // Discrete frame intervals in 100 ns, or (when `stepwiseIntervals`) min..max.
    std::vector<REFERENCE_TIME> intervals = {UNITS / 30, UNITS / 15};
    bool stepwiseIntervals = false;
    REFERENCE_TIME minInterval = 0, maxInterval = 0;
};

struct SimControl {
    uint32_t id = 0;
    uint32_t type = V4L2_CTRL_TYPE_INTEGER;
    std::string name;
    int32_t minimum = 0, maximum = 0, step = 1, defaultValue = 0;
    uint32_t flags = 0;
    std::vector<std::string> menu; // index -> name; an empty name is a hole QUERYMENU refuses
    int32_t value = 0;
};

struct SimDeviceSpec {
    std::string node; // /dev/videoN
    std::string byId; // name under /dev/v4l/by-id, or empty
    std::string card = "Simulated Camera";
    std::string driver = "uvcvideo";
    std::string busInfo = "usb-0000:00:14.0-1";
    uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::vector<SimFormat> formats;
    std::vector<SimControl> controls;
    bool nextCtrl = true;           // QUERYCTRL understands V4L2_CTRL_FLAG_NEXT_CTRL
    bool enumFrameSizes = true;     // ENOTTY when false
    bool enumFrameIntervals = true; // ENOTTY when false
    uint32_t maxBuffers = 8;
    // Frames at the current interval in real time; unpaced: whenever a buffer is queued.
    bool paced = true;
    // Hostile drivers: a QUERYBUF length to report instead of the true one (0: honest), and
    // an ENUM_FMT that never ends.
    uint32_t reportedBufferLength = 0;
    bool endlessFormats = false;
    // MJPEG pictures this many rows taller (or, negative, shorter) than the format announced.
    int mjpegExtraRows = 0;
    // MJPEG pictures without Huffman tables, as many webcams send them: decoders are expected
    // to use the standard ones.
    bool mjpegWithoutHuffmanTables = false;
};

// A webcam as USB cameras usually are: YUYV at 640x480 and 1280x720, MJPEG up to 1920x1080,
// 30 and 15 fps, picture and exposure controls.
SimDeviceSpec uvcCamera(const std::string& node, const std::string& card,
                        const std::string& byId = "");
// The metadata node a UVC camera has beside its capture node.
SimDeviceSpec metadataNode(const std::string& node, const std::string& card);

// Thread-safe: a streaming thread and control threads may call it at once.
class SimulatedV4l2 final : public V4l2Io {
public:
    SimulatedV4l2();
    ~SimulatedV4l2() override;

    void addDevice(SimDeviceSpec spec);
    // The device vanishes: its node and link go, every open descriptor answers ENODEV, and
    // a poll in progress wakes with POLLERR | POLLHUP.
    void unplug(const std::string& node);
    // The next `count` ioctls, on any descriptor, are interrupted (EINTR).
    void injectEintr(int count);
    // The next ioctl of this request fails with this errno.
    void failNext(unsigned long request, int error);

    uint64_t framesDelivered(const std::string& node) const;
    int openDescriptors(const std::string& node) const;
    int mappedBuffers(const std::string& node) const;
    bool streaming(const std::string& node) const;
    int32_t controlValue(const std::string& node, uint32_t id) const;
    uint64_t ioctlCount(unsigned long request) const;

    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(int fd, size_t length, off_t offset, int* error) override;
    int munmap(void* address, size_t length) override;
    int poll(int fd, short events, int timeoutMs) override;
    std::vector<std::string> listDirectory(const std::string& dir) override;
    std::string resolvePath(const std::string& path) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace platform::media::v4l2::testing

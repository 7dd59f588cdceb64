// The simulated V4L2 devices: formats, controls, the mmap buffer queue and hot-unplug.
#include "testing/simulated_v4l2.h"

#include "media/sources/test_pattern/pattern_jpeg.h"
#include "media/sources/test_pattern/pattern_renderer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <mutex>
#include <poll.h>
#include <time.h>

namespace platform::media::v4l2::testing {
namespace {

// Removes the DHT segments ahead of the scan, in place; returns the new length.
size_t dropHuffmanTables(uint8_t* jpeg, size_t size) {
    size_t pos = 2;
    while (pos + 4 <= size && jpeg[pos] == 0xff && jpeg[pos + 1] != 0xda) {
        const size_t length = (size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
        if (length < 2 || pos + 2 + length > size)
            break;
        if (jpeg[pos + 1] == 0xc4) {
            std::memmove(jpeg + pos, jpeg + pos + 2 + length, size - pos - 2 - length);
            size -= 2 + length;
        } else {
            pos += 2 + length;
        }
    }
    return size;
}

using Clock = std::chrono::steady_clock;

void copyField(unsigned char* field, size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(size - 1, text.size()));
}

uint64_t monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000;
}

v4l2_fract fraction(REFERENCE_TIME interval) {
    return {uint32_t(interval), uint32_t(UNITS)};
}

REFERENCE_TIME fromFraction(const v4l2_fract& f) {
    return f.denominator ? REFERENCE_TIME(uint64_t(f.numerator) * UNITS / f.denominator) : 0;
}

struct Buffer {
    std::shared_ptr<std::vector<uint8_t>> memory;
    uint32_t bytesUsed = 0;
    bool queued = false;
    bool mapped = false;
    uint32_t sequence = 0;
    timeval timestamp{};
};

struct Device {
    SimDeviceSpec spec;
    bool gone = false;
    int opens = 0;
    v4l2_pix_format format{};
    REFERENCE_TIME interval = UNITS / 30;
    int owner = -1; // the descriptor that allocated the queue
    std::vector<Buffer> buffers;
    std::deque<uint32_t> queue; // queued buffer indices, oldest first
    bool streaming = false;
    uint32_t sequence = 0;
    Clock::time_point nextFrame;
    uint64_t delivered = 0;
    pattern::PatternRenderer renderer;
    pattern::MjpegEncoder encoder;
    std::vector<uint8_t> scratch;
};

struct Mapping {
    std::shared_ptr<std::vector<uint8_t>> memory;
    Device* device;
    uint32_t index;
};

} // namespace

struct SimulatedV4l2::State {
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<std::unique_ptr<Device>> devices; // never erased: descriptors may outlive nodes
    std::map<int, Device*> descriptors;
    std::map<void*, Mapping> mappings;
    std::map<unsigned long, int> failures;
    std::map<unsigned long, uint64_t> counts;
    int nextFd = 100;
    int eintr = 0;

    Device* byNode(const std::string& node) const {
        for (const auto& device : devices)
            if (!device->gone && device->spec.node == node)
                return device.get();
        return nullptr;
    }
    std::string resolve(const std::string& path) const;
    Device* anyByNode(const std::string& node) const {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it)
            if ((*it)->spec.node == node)
                return it->get();
        return nullptr;
    }
};

namespace {

const SimFormat* findFormat(const Device& d, uint32_t fourcc) {
    for (const SimFormat& f : d.spec.formats)
        if (f.fourcc == fourcc)
            return &f;
    return nullptr;
}

bool sizeSupported(const SimFormat& f, uint32_t w, uint32_t h) {
    if (f.stepwise) {
        const auto& r = f.range;
        return w >= r.min_width && w <= r.max_width && h >= r.min_height && h <= r.max_height &&
               (w - r.min_width) % std::max(r.step_width, 1u) == 0 &&
               (h - r.min_height) % std::max(r.step_height, 1u) == 0;
    }
    return std::find(f.sizes.begin(), f.sizes.end(), std::make_pair(w, h)) != f.sizes.end();
}

// The size the driver picks for a request: nearest discrete size, or the clamped step.
std::pair<uint32_t, uint32_t> adjustSize(const SimFormat& f, uint32_t w, uint32_t h) {
    if (f.stepwise) {
        const auto& r = f.range;
        auto fit = [](uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
            v = std::clamp(v, lo, hi);
            step = std::max(step, 1u);
            return lo + (v - lo) / step * step;
        };
        return {fit(w, r.min_width, r.max_width, r.step_width),
                fit(h, r.min_height, r.max_height, r.step_height)};
    }
    auto best = f.sizes.front();
    auto distance = [&](std::pair<uint32_t, uint32_t> s) {
        return std::llabs(int64_t(s.first) - int64_t(w)) +
               std::llabs(int64_t(s.second) - int64_t(h));
    };
    for (const auto& s : f.sizes)
        if (distance(s) < distance(best))
            best = s;
    return best;
}

uint32_t imageSize(uint32_t fourcc, uint32_t w, uint32_t h, uint32_t* bytesPerLine) {
    switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
        *bytesPerLine = w * 2;
        return w * 2 * h;
    case V4L2_PIX_FMT_BGR24:
        *bytesPerLine = w * 3;
        return w * 3 * h;
    case V4L2_PIX_FMT_XBGR32:
        *bytesPerLine = w * 4;
        return w * 4 * h;
    case V4L2_PIX_FMT_GREY:
        *bytesPerLine = w;
        return w * h;
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420:
        *bytesPerLine = w;
        return w * h * 3 / 2;
    default: // compressed: room for the encoder's worst case, as drivers size it generously
        *bytesPerLine = 0;
        return w * h * 4 + 65536;
    }
}

void fillFormat(const SimFormat& f, uint32_t w, uint32_t h, v4l2_pix_format* pix) {
    const auto [aw, ah] = adjustSize(f, w, h);
    *pix = {};
    pix->pixelformat = f.fourcc;
    pix->width = aw;
    pix->height = ah;
    pix->field = V4L2_FIELD_NONE;
    pix->sizeimage = imageSize(f.fourcc, aw, ah, &pix->bytesperline);
    pix->colorspace = V4L2_COLORSPACE_SRGB;
}

std::vector<REFERENCE_TIME> intervalsFor(const SimFormat& f) {
    if (!f.stepwiseIntervals)
        return f.intervals;
    return {f.minInterval, f.maxInterval};
}

REFERENCE_TIME nearestInterval(const SimFormat& f, REFERENCE_TIME wanted) {
    if (f.stepwiseIntervals)
        return std::clamp(wanted, f.minInterval, f.maxInterval);
    REFERENCE_TIME best = f.intervals.front();
    for (REFERENCE_TIME i : f.intervals)
        if (std::llabs(i - wanted) < std::llabs(best - wanted))
            best = i;
    return best;
}

const SimControl* findControl(const Device& d, uint32_t id) {
    for (const SimControl& c : d.spec.controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

// Renders one picture of the pattern into a buffer in the device's current format.
void produceFrame(Device& d, Buffer& buffer) {
    const uint32_t w = d.format.width, h = d.format.height;
    pattern::StripData stamp{d.sequence, monotonicUs()};
    uint8_t* out = buffer.memory->data();
    const size_t capacity = buffer.memory->size();
    uint8_t* yuy2 = d.scratch.data();
    const pattern::PictureSettings settings;
    d.renderer.renderYuy2(yuy2, size_t(w) * 2, stamp, settings);
    switch (d.format.pixelformat) {
    case V4L2_PIX_FMT_YUYV:
        std::memcpy(out, yuy2, std::min<size_t>(capacity, size_t(w) * 2 * h));
        buffer.bytesUsed = w * 2 * h;
        break;
    case V4L2_PIX_FMT_MJPEG:
        buffer.bytesUsed = uint32_t(d.encoder.encodeYuy2(yuy2, size_t(w) * 2, out, capacity));
        if (d.spec.mjpegWithoutHuffmanTables)
            buffer.bytesUsed = uint32_t(dropHuffmanTables(out, buffer.bytesUsed));
        break;
    case V4L2_PIX_FMT_GREY:
        libyuv::YUY2ToY(yuy2, int(w) * 2, out, int(w), int(w), int(h));
        buffer.bytesUsed = w * h;
        break;
    case V4L2_PIX_FMT_NV12:
        libyuv::YUY2ToNV12(yuy2, int(w) * 2, out, int(w), out + size_t(w) * h, int(w), int(w),
                           int(h));
        buffer.bytesUsed = w * h * 3 / 2;
        break;
    case V4L2_PIX_FMT_YUV420:
        libyuv::YUY2ToI420(yuy2, int(w) * 2, out, int(w), out + size_t(w) * h, int(w / 2),
                           out + size_t(w) * h * 5 / 4, int(w / 2), int(w), int(h));
        buffer.bytesUsed = w * h * 3 / 2;
        break;
    case V4L2_PIX_FMT_BGR24: {
        // The renderer draws a bottom-up DIB; V4L2 rows run top-down.
        std::vector<uint8_t>& dib = d.scratch;
        const size_t dibStride = (size_t(w) * 3 + 3) & ~size_t(3);
        d.renderer.renderRgb24(dib.data(), dib.size(), stamp, settings);
        for (uint32_t y = 0; y < h; ++y)
            std::memcpy(out + size_t(y) * w * 3, dib.data() + size_t(h - 1 - y) * dibStride,
                        size_t(w) * 3);
        buffer.bytesUsed = w * 3 * h;
        break;
    }
    case V4L2_PIX_FMT_XBGR32: {
        // BGRX rows, top-down, from the bottom-up 24-bit picture.
        std::vector<uint8_t>& dib = d.scratch;
        const size_t dibStride = (size_t(w) * 3 + 3) & ~size_t(3);
        d.renderer.renderRgb24(dib.data(), dib.size(), stamp, settings);
        for (uint32_t y = 0; y < h; ++y)
            libyuv::RGB24ToARGB(dib.data() + size_t(h - 1 - y) * dibStride, int(dibStride),
                                out + size_t(y) * w * 4, int(w) * 4, int(w), 1);
        buffer.bytesUsed = w * 4 * h;
        break;
    }
    default:
        buffer.bytesUsed = 0;
    }
    const uint64_t us = stamp.captureTimeUs;
    buffer.timestamp = {time_t(us / 1000000), suseconds_t(us % 1000000)};
    buffer.sequence = d.sequence++;
    ++d.delivered;
}

// Whether a filled buffer could be dequeued now; `due` gets the next frame's time.
bool frameReady(const Device& d, Clock::time_point* due) {
    *due = d.nextFrame;
    return d.streaming && !d.queue.empty() && (!d.spec.paced || Clock::now() >= d.nextFrame);
}

} // namespace

SimDeviceSpec uvcCamera(const std::string& node, const std::string& card, const std::string& byId) {
    SimDeviceSpec spec;
    spec.node = node;
    spec.card = card;
    spec.byId = byId;
    SimFormat yuyv;
    yuyv.fourcc = V4L2_PIX_FMT_YUYV;
    yuyv.description = "YUYV 4:2:2";
    yuyv.sizes = {{640, 480}, {1280, 720}};
    SimFormat mjpeg;
    mjpeg.fourcc = V4L2_PIX_FMT_MJPEG;
    mjpeg.description = "Motion-JPEG";
    mjpeg.sizes = {{640, 480}, {1280, 720}, {1920, 1080}};
    spec.formats = {yuyv, mjpeg};
    auto integer = [](uint32_t id, const char* name, int32_t lo, int32_t hi, int32_t def) {
        SimControl c;
        c.id = id;
        c.name = name;
        c.minimum = lo;
        c.maximum = hi;
        c.defaultValue = def;
        c.value = def;
        return c;
    };
    SimControl exposureAuto;
    exposureAuto.id = V4L2_CID_EXPOSURE_AUTO;
    exposureAuto.type = V4L2_CTRL_TYPE_MENU;
    exposureAuto.name = "Auto Exposure";
    exposureAuto.minimum = 0;
    exposureAuto.maximum = 3;
    exposureAuto.defaultValue = exposureAuto.value = 3;
    exposureAuto.menu = {"", "Manual Mode", "", "Aperture Priority Mode"};
    SimControl autoWb = integer(V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", 0, 1, 1);
    autoWb.type = V4L2_CTRL_TYPE_BOOLEAN;
    spec.controls = {
        integer(V4L2_CID_BRIGHTNESS, "Brightness", -64, 64, 0),
        integer(V4L2_CID_CONTRAST, "Contrast", 0, 64, 32),
        integer(V4L2_CID_SATURATION, "Saturation", 0, 128, 64),
        integer(V4L2_CID_HUE, "Hue", -40, 40, 0),
        autoWb,
        integer(V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature", 2800, 6500, 4600),
        integer(V4L2_CID_GAIN, "Gain", 0, 100, 0),
        exposureAuto,
        integer(V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", 3, 2047, 250),
    };
    spec.controls.back().flags = V4L2_CTRL_FLAG_INACTIVE;
    return spec;
}

SimDeviceSpec metadataNode(const std::string& node, const std::string& card) {
    SimDeviceSpec spec;
    spec.node = node;
    spec.card = card;
    spec.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    return spec;
}

SimulatedV4l2::SimulatedV4l2() : state_(std::make_unique<State>()) {}
SimulatedV4l2::~SimulatedV4l2() = default;

void SimulatedV4l2::addDevice(SimDeviceSpec spec) {
    std::lock_guard lock(state_->lock);
    auto device = std::make_unique<Device>();
    device->spec = std::move(spec);
    if (!device->spec.formats.empty()) {
        const SimFormat& first = device->spec.formats.front();
        const auto size = first.stepwise
                              ? std::make_pair(first.range.max_width, first.range.max_height)
                              : first.sizes.front();
        fillFormat(first, size.first, size.second, &device->format);
        device->interval = intervalsFor(first).front();
    }
    state_->devices.push_back(std::move(device));
}

void SimulatedV4l2::unplug(const std::string& node) {
    std::lock_guard lock(state_->lock);
    if (Device* d = state_->byNode(node))
        d->gone = true;
    state_->changed.notify_all();
}

void SimulatedV4l2::injectEintr(int count) {
    std::lock_guard lock(state_->lock);
    state_->eintr = count;
}

void SimulatedV4l2::failNext(unsigned long request, int error) {
    std::lock_guard lock(state_->lock);
    state_->failures[request] = error;
}

uint64_t SimulatedV4l2::framesDelivered(const std::string& node) const {
    std::lock_guard lock(state_->lock);
    const Device* d = state_->anyByNode(node);
    return d ? d->delivered : 0;
}

int SimulatedV4l2::openDescriptors(const std::string& node) const {
    std::lock_guard lock(state_->lock);
    const Device* d = state_->anyByNode(node);
    return d ? d->opens : 0;
}

int SimulatedV4l2::mappedBuffers(const std::string& node) const {
    std::lock_guard lock(state_->lock);
    int count = 0;
    for (const auto& entry : state_->mappings)
        count += entry.second.device->spec.node == node ? 1 : 0;
    return count;
}

bool SimulatedV4l2::streaming(const std::string& node) const {
    std::lock_guard lock(state_->lock);
    const Device* d = state_->anyByNode(node);
    return d && d->streaming;
}

int32_t SimulatedV4l2::controlValue(const std::string& node, uint32_t id) const {
    std::lock_guard lock(state_->lock);
    const Device* d = state_->anyByNode(node);
    const SimControl* c = d ? findControl(*d, id) : nullptr;
    return c ? c->value : 0;
}

uint64_t SimulatedV4l2::ioctlCount(unsigned long request) const {
    std::lock_guard lock(state_->lock);
    auto it = state_->counts.find(request);
    return it == state_->counts.end() ? 0 : it->second;
}

int SimulatedV4l2::open(const std::string& path, int) {
    std::lock_guard lock(state_->lock);
    const std::string node = path.rfind("/dev/v4l/by-id/", 0) == 0 ? state_->resolve(path) : path;
    Device* d = state_->byNode(node);
    if (!d)
        return -ENOENT;
    const int fd = state_->nextFd++;
    state_->descriptors[fd] = d;
    ++d->opens;
    return fd;
}

int SimulatedV4l2::close(int fd) {
    std::lock_guard lock(state_->lock);
    auto it = state_->descriptors.find(fd);
    if (it == state_->descriptors.end())
        return -EBADF;
    Device* d = it->second;
    --d->opens;
    if (d->owner == fd) {
        // Closing the queue's owner stops streaming and frees the buffers (mapped memory
        // stays valid until unmapped, as the kernel keeps it).
        d->streaming = false;
        d->queue.clear();
        d->buffers.clear();
        d->owner = -1;
    }
    state_->descriptors.erase(it);
    state_->changed.notify_all();
    return 0;
}

int SimulatedV4l2::ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard lock(state_->lock);
    State& s = *state_;
    ++s.counts[request];
    if (s.eintr > 0) {
        --s.eintr;
        return -EINTR;
    }
    auto it = s.descriptors.find(fd);
    if (it == s.descriptors.end())
        return -EBADF;
    Device& d = *it->second;
    if (d.gone)
        return -ENODEV;
    if (auto failure = s.failures.find(request); failure != s.failures.end()) {
        const int error = failure->second;
        s.failures.erase(failure);
        return -error;
    }
    const bool capture = d.spec.deviceCaps & V4L2_CAP_VIDEO_CAPTURE;
    auto captureType = [&](uint32_t type) {
        return capture && type == V4L2_BUF_TYPE_VIDEO_CAPTURE;
    };

    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* caps = static_cast<v4l2_capability*>(arg);
        *caps = {};
        copyField(caps->driver, sizeof(caps->driver), d.spec.driver);
        copyField(caps->card, sizeof(caps->card), d.spec.card);
        copyField(caps->bus_info, sizeof(caps->bus_info), d.spec.busInfo);
        caps->version = 0x060100;
        caps->device_caps = d.spec.deviceCaps;
        caps->capabilities = d.spec.deviceCaps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* desc = static_cast<v4l2_fmtdesc*>(arg);
        if (!captureType(desc->type))
            return -EINVAL;
        if (d.spec.endlessFormats && !d.spec.formats.empty()) {
            const uint32_t index = desc->index;
            *desc = {};
            desc->index = index;
            desc->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            desc->pixelformat = d.spec.formats.front().fourcc;
            return 0;
        }
        if (desc->index >= d.spec.formats.size())
            return -EINVAL;
        const SimFormat& f = d.spec.formats[desc->index];
        const uint32_t index = desc->index;
        *desc = {};
        desc->index = index;
        desc->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        desc->pixelformat = f.fourcc;
        desc->flags = f.fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        copyField(desc->description, sizeof(desc->description), f.description);
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        if (!d.spec.enumFrameSizes)
            return -ENOTTY;
        auto* size = static_cast<v4l2_frmsizeenum*>(arg);
        const SimFormat* f = findFormat(d, size->pixel_format);
        if (!f)
            return -EINVAL;
        if (f->stepwise) {
            if (size->index != 0)
                return -EINVAL;
            size->type = f->range.step_width == 1 && f->range.step_height == 1
                             ? V4L2_FRMSIZE_TYPE_CONTINUOUS
                             : V4L2_FRMSIZE_TYPE_STEPWISE;
            size->stepwise = f->range;
            return 0;
        }
        if (size->index >= f->sizes.size())
            return -EINVAL;
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete = {f->sizes[size->index].first, f->sizes[size->index].second};
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        if (!d.spec.enumFrameIntervals)
            return -ENOTTY;
        auto* ival = static_cast<v4l2_frmivalenum*>(arg);
        const SimFormat* f = findFormat(d, ival->pixel_format);
        if (!f || !sizeSupported(*f, ival->width, ival->height))
            return -EINVAL;
        if (f->stepwiseIntervals) {
            if (ival->index != 0)
                return -EINVAL;
            ival->type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
            ival->stepwise.min = fraction(f->minInterval);
            ival->stepwise.max = fraction(f->maxInterval);
            ival->stepwise.step = {1, uint32_t(UNITS)};
            return 0;
        }
        if (ival->index >= f->intervals.size())
            return -EINVAL;
        ival->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        ival->discrete = fraction(f->intervals[ival->index]);
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* fmt = static_cast<v4l2_format*>(arg);
        if (!captureType(fmt->type) || d.spec.formats.empty())
            return -EINVAL;
        fmt->fmt.pix = d.format;
        return 0;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
        auto* fmt = static_cast<v4l2_format*>(arg);
        if (!captureType(fmt->type) || d.spec.formats.empty())
            return -EINVAL;
        // The queue is busy once buffers exist: the format cannot change under them.
        if (request == VIDIOC_S_FMT && !d.buffers.empty())
            return -EBUSY;
        const SimFormat* f = findFormat(d, fmt->fmt.pix.pixelformat);
        if (!f)
            f = &d.spec.formats.front();
        v4l2_pix_format pix{};
        fillFormat(*f, fmt->fmt.pix.width, fmt->fmt.pix.height, &pix);
        fmt->fmt.pix = pix;
        if (request == VIDIOC_S_FMT) {
            d.format = pix;
            d.interval = nearestInterval(*f, d.interval);
        }
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto* parm = static_cast<v4l2_streamparm*>(arg);
        if (!captureType(parm->type) || d.spec.formats.empty())
            return -EINVAL;
        if (request == VIDIOC_S_PARM) {
            if (d.streaming)
                return -EBUSY;
            const SimFormat* f = findFormat(d, d.format.pixelformat);
            const REFERENCE_TIME wanted = fromFraction(parm->parm.capture.timeperframe);
            d.interval = nearestInterval(*f, wanted > 0 ? wanted : d.interval);
        }
        parm->parm.capture = {};
        parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm->parm.capture.timeperframe = fraction(d.interval);
        parm->parm.capture.readbuffers = 0;
        return 0;
    }
    case VIDIOC_QUERYCTRL: {
        auto* query = static_cast<v4l2_queryctrl*>(arg);
        const SimControl* found = nullptr;
        if (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) {
            if (!d.spec.nextCtrl)
                return -EINVAL;
            const uint32_t after =
                query->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
            for (const SimControl& c : d.spec.controls)
                if (c.id > after && (!found || c.id < found->id))
                    found = &c;
        } else {
            found = findControl(d, query->id);
        }
        if (!found)
            return -EINVAL;
        *query = {};
        query->id = found->id;
        query->type = found->type;
        copyField(query->name, sizeof(query->name), found->name);
        query->minimum = found->minimum;
        query->maximum = found->maximum;
        query->step = found->step;
        query->default_value = found->defaultValue;
        query->flags = found->flags;
        return 0;
    }
    case VIDIOC_QUERYMENU: {
        auto* item = static_cast<v4l2_querymenu*>(arg);
        const SimControl* c = findControl(d, item->id);
        if (!c || c->type != V4L2_CTRL_TYPE_MENU || item->index >= c->menu.size() ||
            int64_t(item->index) < c->minimum || int64_t(item->index) > c->maximum ||
            c->menu[item->index].empty())
            return -EINVAL;
        copyField(item->name, sizeof(item->name), c->menu[item->index]);
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        auto* control = static_cast<v4l2_control*>(arg);
        SimControl* c = const_cast<SimControl*>(findControl(d, control->id));
        if (!c)
            return -EINVAL;
        if (request == VIDIOC_G_CTRL) {
            control->value = c->value;
            return 0;
        }
        if (c->flags & V4L2_CTRL_FLAG_READ_ONLY)
            return -EACCES;
        if (control->value < c->minimum || control->value > c->maximum)
            return -ERANGE;
        if (c->type == V4L2_CTRL_TYPE_MENU &&
            (size_t(control->value) >= c->menu.size() || c->menu[size_t(control->value)].empty()))
            return -EINVAL;
        const int32_t step = std::max(c->step, 1);
        c->value = c->minimum + (control->value - c->minimum + step / 2) / step * step;
        control->value = c->value;
        // Leaving automatic exposure makes the exposure time writable, as UVC drivers do.
        if (c->id == V4L2_CID_EXPOSURE_AUTO)
            for (SimControl& other : d.spec.controls)
                if (other.id == V4L2_CID_EXPOSURE_ABSOLUTE)
                    other.flags = c->value == V4L2_EXPOSURE_MANUAL ? 0 : V4L2_CTRL_FLAG_INACTIVE;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* req = static_cast<v4l2_requestbuffers*>(arg);
        if (!captureType(req->type) || req->memory != V4L2_MEMORY_MMAP)
            return -EINVAL;
        if (d.owner != -1 && d.owner != fd)
            return -EBUSY;
        if (d.streaming)
            return -EBUSY;
        d.queue.clear();
        d.buffers.clear();
        d.owner = -1;
        if (req->count == 0)
            return 0;
        const uint32_t count = std::min(std::max(req->count, 2u), d.spec.maxBuffers);
        const size_t length = (d.format.sizeimage + 4095) & ~size_t(4095);
        for (uint32_t i = 0; i < count; ++i) {
            Buffer buffer;
            buffer.memory = std::make_shared<std::vector<uint8_t>>(length);
            d.buffers.push_back(std::move(buffer));
        }
        d.owner = fd;
        req->count = count;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto* buf = static_cast<v4l2_buffer*>(arg);
        if (!captureType(buf->type) || buf->memory != V4L2_MEMORY_MMAP)
            return -EINVAL;
        if (d.owner != fd)
            return d.owner == -1 ? -EINVAL : -EBUSY;
        if (buf->index >= d.buffers.size())
            return -EINVAL;
        Buffer& b = d.buffers[buf->index];
        if (request == VIDIOC_QBUF) {
            if (b.queued)
                return -EINVAL;
            b.queued = true;
            d.queue.push_back(buf->index);
            s.changed.notify_all();
        }
        const uint32_t length = uint32_t(b.memory->size());
        buf->length = d.spec.reportedBufferLength ? d.spec.reportedBufferLength : length;
        buf->m.offset = buf->index * length;
        buf->flags = (b.queued ? V4L2_BUF_FLAG_QUEUED : 0) | (b.mapped ? V4L2_BUF_FLAG_MAPPED : 0) |
                     V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* buf = static_cast<v4l2_buffer*>(arg);
        if (!captureType(buf->type) || buf->memory != V4L2_MEMORY_MMAP || !d.streaming)
            return -EINVAL;
        if (d.owner != fd)
            return -EBUSY;
        Clock::time_point due;
        if (!frameReady(d, &due))
            return -EAGAIN;
        const uint32_t index = d.queue.front();
        d.queue.pop_front();
        Buffer& b = d.buffers[index];
        b.queued = false;
        produceFrame(d, b);
        d.nextFrame = std::max(d.nextFrame + std::chrono::microseconds(d.interval / 10),
                               Clock::now() - std::chrono::microseconds(d.interval / 10));
        buf->index = index;
        buf->bytesused = b.bytesUsed;
        buf->length = uint32_t(b.memory->size());
        buf->flags = V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        buf->field = V4L2_FIELD_NONE;
        buf->timestamp = b.timestamp;
        buf->sequence = b.sequence;
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        const int type = *static_cast<int*>(arg);
        if (!captureType(uint32_t(type)))
            return -EINVAL;
        if (d.owner != fd)
            return d.owner == -1 ? -EINVAL : -EBUSY;
        if (request == VIDIOC_STREAMOFF) {
            // Every buffer comes back to the application, filled or not.
            d.streaming = false;
            d.queue.clear();
            for (Buffer& b : d.buffers)
                b.queued = false;
            s.changed.notify_all();
            return 0;
        }
        if (d.streaming)
            return 0;
        const int width = int(d.format.width);
        int height = int(d.format.height);
        if (d.format.pixelformat == V4L2_PIX_FMT_MJPEG) {
            height += d.spec.mjpegExtraRows; // a hostile camera's pictures
            d.encoder.configure(width, height);
        }
        d.renderer.configure(width, height);
        d.scratch.assign(std::max(pattern::PatternRenderer::yuy2Bytes(width, height),
                                  pattern::PatternRenderer::rgb24Bytes(width, height)),
                         0);
        d.streaming = true;
        d.sequence = 0;
        d.nextFrame = Clock::now();
        s.changed.notify_all();
        return 0;
    }
    default:
        return -ENOTTY;
    }
}

void* SimulatedV4l2::mmap(int fd, size_t length, off_t offset, int* error) {
    std::lock_guard lock(state_->lock);
    auto fail = [&](int e) -> void* {
        if (error)
            *error = e;
        return nullptr;
    };
    auto it = state_->descriptors.find(fd);
    if (it == state_->descriptors.end())
        return fail(EBADF);
    Device& d = *it->second;
    if (d.gone)
        return fail(ENODEV);
    for (uint32_t index = 0; index < d.buffers.size(); ++index) {
        Buffer& b = d.buffers[index];
        if (off_t(index * b.memory->size()) == offset) {
            if (length > b.memory->size())
                return fail(EINVAL);
            b.mapped = true;
            void* address = b.memory->data();
            state_->mappings[address] = {b.memory, &d, index};
            return address;
        }
    }
    return fail(EINVAL);
}

int SimulatedV4l2::munmap(void* address, size_t) {
    std::lock_guard lock(state_->lock);
    auto it = state_->mappings.find(address);
    if (it == state_->mappings.end())
        return -EINVAL;
    Device& d = *it->second.device;
    if (it->second.index < d.buffers.size() &&
        d.buffers[it->second.index].memory == it->second.memory)
        d.buffers[it->second.index].mapped = false;
    state_->mappings.erase(it);
    return 0;
}

int SimulatedV4l2::poll(int fd, short events, int timeoutMs) {
    std::unique_lock lock(state_->lock);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        auto it = state_->descriptors.find(fd);
        if (it == state_->descriptors.end())
            return POLLNVAL;
        Device& d = *it->second;
        if (d.gone)
            return POLLERR | POLLHUP;
        if (!d.streaming || (d.queue.empty()))
            return POLLERR;
        Clock::time_point due;
        if (frameReady(d, &due))
            return events & (POLLIN | POLLRDNORM);
        const Clock::time_point wake = std::min(deadline, due);
        if (Clock::now() >= deadline)
            return 0;
        state_->changed.wait_until(lock, wake);
    }
}

std::vector<std::string> SimulatedV4l2::listDirectory(const std::string& dir) {
    std::lock_guard lock(state_->lock);
    std::vector<std::string> names;
    for (const auto& d : state_->devices) {
        if (d->gone)
            continue;
        if (dir == "/dev" && d->spec.node.rfind("/dev/", 0) == 0)
            names.push_back(d->spec.node.substr(5));
        if (dir == "/dev/v4l/by-id" && !d->spec.byId.empty())
            names.push_back(d->spec.byId);
    }
    if (dir == "/dev")
        names.push_back("null"); // other nodes live in /dev too
    return names;
}

std::string SimulatedV4l2::resolvePath(const std::string& path) {
    std::lock_guard lock(state_->lock);
    return state_->resolve(path);
}

std::string SimulatedV4l2::State::resolve(const std::string& path) const {
    const std::string byId = "/dev/v4l/by-id/";
    for (const auto& d : devices) {
        if (d->gone)
            continue;
        if (d->spec.node == path)
            return path;
        if (!d->spec.byId.empty() && path == byId + d->spec.byId)
            return d->spec.node;
    }
    return std::string();
}

} // namespace platform::media::v4l2::testing

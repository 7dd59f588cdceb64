// Connecting devices and negotiating formats (Connect, InitVideoCapInf, CaptureInit,
// SetVideoInf, GetVideoCapInf) against simulated V4L2 cameras and the test-pattern camera.
#include "SimulatedCameras.h"

#include <platform/com_ptr.h>
#include <platform/media/media.h>

#include <gtest/gtest.h>

#include <linux/videodev2.h>

namespace {

class ConnectVideo : public CVideo {
public:
    using CVideo::Connect;
    using CVideo::InitVideoCapInf;
    using CVideo::m_CapInf;
    using CVideo::m_nCapInfNum;
    using CVideo::m_nDeviceIndex;
    using CVideo::m_pGraph;
    using CVideo::m_strDevicePath;
    using CVideo::m_strFriendlyName;
    using CVideo::m_VideoInf;

    int filterCount() {
        platform::ComPtr<IEnumFilters> filters;
        if (!m_pGraph || FAILED(m_pGraph->EnumFilters(filters.GetAddressOf())))
            return -1;
        int count = 0;
        IBaseFilter* filter = nullptr;
        while (filters->Next(1, &filter, nullptr) == S_OK) {
            filter->Release();
            ++count;
        }
        return count;
    }
    std::string names() {
        std::string all;
        platform::ComPtr<IEnumFilters> filters;
        m_pGraph->EnumFilters(filters.GetAddressOf());
        IBaseFilter* filter = nullptr;
        while (filters->Next(1, &filter, nullptr) == S_OK) {
            FILTER_INFO info{};
            filter->QueryFilterInfo(&info);
            if (info.pGraph)
                info.pGraph->Release();
            for (const char16_t* c = info.achName; *c; ++c)
                all += char(*c);
            all += "; ";
            filter->Release();
        }
        return all;
    }
    bool graphHas(const char16_t* name) {
        platform::ComPtr<IBaseFilter> filter;
        return m_pGraph && SUCCEEDED(m_pGraph->FindFilterByName(name, filter.GetAddressOf()));
    }
};

constexpr REFERENCE_TIME kShortest = 333333; // 30 fps
constexpr REFERENCE_TIME kLongest = 2000000; // 5 fps

struct Connecting : ::testing::Test {
    simcam::Scope cameras;
};

} // namespace

TEST_F(Connecting, ByPathAndByNameBindTheDeviceAndReadItsCapabilities) {
    cameras.sim().addDevice(
        simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC", "usb-Sim_UVC-video-index0"));
    const char* link = "/dev/v4l/by-id/usb-Sim_UVC-video-index0";
    ConnectVideo byPath;
    ASSERT_EQ(byPath.Open(OPEN_DEVICE, link, -1), 0);
    EXPECT_TRUE(byPath.IsConnect());
    EXPECT_STREQ(byPath.m_strFriendlyName, "Sim UVC");
    EXPECT_STREQ(byPath.m_strDevicePath, link);
    EXPECT_EQ(byPath.m_nDeviceIndex, 0);
    ASSERT_EQ(byPath.m_nCapInfNum, 5); // YUYV at two sizes, MJPEG at three
    EXPECT_EQ(byPath.m_CapInf[0].nBitCount, 16);
    EXPECT_EQ(byPath.m_CapInf[4].nBitCount, 24);
    EXPECT_EQ(byPath.m_CapInf[4].nMaxWidth, 1920);
    EXPECT_EQ(byPath.m_CapInf[4].llMinFrameInterval, 333333);
    // The inner CaptureInit built the graph for the device's current 640x480.
    tVideoInf inf{};
    ASSERT_TRUE(byPath.GetVideoInf(inf));
    EXPECT_EQ(inf.nWidth, 640);
    EXPECT_EQ(inf.nBitCount, 24);
    ASSERT_NE(byPath.GetBitmapInfoPtr(), nullptr);
    // A connected object refuses another connection and keeps what it has.
    EXPECT_EQ(byPath.Connect("/dev/video0"), -1);
    EXPECT_STREQ(byPath.m_strDevicePath, link);

    ConnectVideo byName;
    ASSERT_EQ(byName.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    EXPECT_STREQ(byName.m_strDevicePath, link);
    EXPECT_EQ(byName.m_nCapInfNum, 5);
    ConnectVideo missing;
    EXPECT_EQ(missing.Open(OPEN_DEVICE, "No Such Camera", 0), -1);
    EXPECT_EQ(missing.GetOpenMode(), OPEN_CLOSED);
}

TEST_F(Connecting, OneCapabilityClampsTheIntervalAndRefusesOtherSizes) {
    cameras.sim().addDevice(simcam::rangeDevice("/dev/video0", "Range Cam", V4L2_PIX_FMT_BGR24, 160,
                                                120, 640, 480, kShortest, kLongest));
    ConnectVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Range Cam", 0), 0);
    ASSERT_EQ(video.m_nCapInfNum, 1);
    const tVideoCapInf& cap = video.m_CapInf[0];
    EXPECT_EQ(cap.nBitCount, 24);
    EXPECT_EQ(cap.nMinWidth, 160);
    EXPECT_EQ(cap.nMinHeight, 120);
    EXPECT_EQ(cap.nMaxWidth, 640);
    EXPECT_EQ(cap.nMaxHeight, 480);
    EXPECT_EQ(cap.llMinFrameInterval, kShortest);
    EXPECT_EQ(cap.llMaxFrameInterval, kLongest);

    ASSERT_EQ(video.CaptureInit(320, 240, 24, 0), 0);
    EXPECT_EQ(video.GetFrameInterval(), kShortest); // 0 means the fastest rate
    const BITMAPINFO* frame = video.GetBitmapInfoPtr();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->bmiHeader.biWidth, 320);
    EXPECT_EQ(frame->bmiHeader.biHeight, 240);
    EXPECT_EQ(frame->bmiHeader.biBitCount, 24);

    ASSERT_EQ(video.CaptureInit(320, 240, 24, kLongest * 3), 0);
    EXPECT_EQ(video.GetFrameInterval(), kLongest);
    // Every interval below the shortest, 1 included, becomes the shortest; the bounds
    // themselves and what lies between them are kept.
    for (const REFERENCE_TIME asked : {REFERENCE_TIME{1}, kShortest / 2, kShortest - 1}) {
        ASSERT_EQ(video.CaptureInit(320, 240, 24, asked), 0);
        EXPECT_EQ(video.GetFrameInterval(), kShortest) << asked;
    }
    for (const REFERENCE_TIME asked : {kShortest, kShortest + 1, kLongest - 1, kLongest}) {
        ASSERT_EQ(video.CaptureInit(320, 240, 24, asked), 0);
        EXPECT_EQ(video.GetFrameInterval(), asked);
    }
    ASSERT_EQ(video.CaptureInit(320, 240, 24, kLongest + 1), 0);
    EXPECT_EQ(video.GetFrameInterval(), kLongest);

    EXPECT_EQ(video.CaptureInit(800, 600, 24, 1234567), -1);
    EXPECT_EQ(video.GetFrameInterval(), 1234567);
    EXPECT_EQ(video.GetBitmapInfoPtr(), nullptr);
    EXPECT_TRUE(video.IsConnect());                    // still bound: another format may follow
    EXPECT_EQ(video.CaptureInit(320, 240, 16, 0), -1); // no 16-bit capability

    // Rebuilt, the graph delivers the device's pictures upright (V4L2 rows are top-down).
    ASSERT_EQ(video.CaptureInit(160, 120, 24, 0), 0);
    simcam::Frames frames;
    frames.watch(video);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    ASSERT_TRUE(frames.waitFor(3));
    video.CaptureStop();
    std::lock_guard lock(frames.lock);
    ASSERT_GE(frames.numbers.size(), 3u);
    EXPECT_EQ(frames.numbers[1], frames.numbers[0] + 1);
}

TEST_F(Connecting, FortyCapabilitiesKeepTheFirstThirtyTwo) {
    auto spec = simcam::v4l2::testing::uvcCamera("/dev/video0", "Many Sizes");
    simcam::SimFormat format;
    format.fourcc = V4L2_PIX_FMT_BGR24;
    for (uint32_t i = 0; i < 40; ++i)
        format.sizes.emplace_back(160 + 16 * i, 120 + 8 * i);
    spec.formats = {format};
    cameras.sim().addDevice(spec);
    ConnectVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Many Sizes", 0), 0);
    ASSERT_EQ(video.m_nCapInfNum, CAPINF_MAX);
    EXPECT_EQ(video.m_CapInf[31].nMaxWidth, 160 + 16 * 31);
    EXPECT_EQ(video.InitVideoCapInf(), CAPINF_MAX);

    tVideoCapInf copy[5] = {};
    EXPECT_EQ(video.GetVideoCapInf(copy, 5), 5);
    EXPECT_EQ(copy[4].nMinWidth, 160 + 16 * 4);
    EXPECT_EQ(video.GetVideoCapInf(nullptr, 5), -1);
    EXPECT_EQ(video.GetVideoCapInf(copy, 0), -1);
}

TEST_F(Connecting, ClosedObjectsRefuseFormatCalls) {
    ConnectVideo video;
    EXPECT_EQ(video.CaptureInit(320, 240, 24, 0), -1);
    EXPECT_EQ(video.GetFrameInterval(), 333333);
    tVideoCapInf caps[2];
    EXPECT_EQ(video.GetVideoCapInf(caps, 2), -1);
    tVideoInf inf{};
    EXPECT_FALSE(video.GetVideoInf(inf));
    EXPECT_EQ(video.InitVideoCapInf(), -1);
}

TEST_F(Connecting, UvcCameraDeliversFramesAtTheRequestedSizeAndDepth) {
    // A webcam that also offers 32-bit BGRX at 640x480.
    auto spec = simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC");
    simcam::SimFormat bgrx;
    bgrx.fourcc = V4L2_PIX_FMT_XBGR32;
    bgrx.sizes = {{640, 480}};
    spec.formats.push_back(bgrx);
    cameras.sim().addDevice(spec);
    ConnectVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    struct Case {
        int width, height, bits, frameBits;
    } cases[] = {{1280, 720, 16, 24}, {1920, 1080, 24, 24}, {640, 480, 32, 32}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        ASSERT_EQ(video.CaptureInit(c.width, c.height, c.bits, 333333), 0);
        const BITMAPINFO* frame = video.GetBitmapInfoPtr();
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->bmiHeader.biWidth, c.width);
        EXPECT_EQ(frame->bmiHeader.biHeight, c.height);
        EXPECT_EQ(frame->bmiHeader.biBitCount, c.frameBits);
        tVideoInf inf{};
        ASSERT_TRUE(video.GetVideoInf(inf));
        EXPECT_EQ(inf.nBitCount, c.frameBits);
        simcam::Frames frames;
        frames.watch(video);
        ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
        ASSERT_TRUE(frames.waitFor(4));
        video.CaptureStop();
        video.SetSampleCallBack(nullptr, nullptr);
        std::lock_guard lock(frames.lock);
        ASSERT_GE(frames.numbers.size(), 2u); // the strip survived decoding and conversion
        EXPECT_GT(frames.numbers.back(), frames.numbers.front());
    }
}

TEST_F(Connecting, SixteenBitRequestIsHonouredThroughAConverter) {
    auto spec = simcam::v4l2::testing::uvcCamera("/dev/video0", "YUYV Only");
    spec.formats.resize(1); // no 24-bit capability at all
    spec.paced = false;
    cameras.sim().addDevice(spec);
    ConnectVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "YUYV Only", 0), 0);
    ASSERT_EQ(video.CaptureInit(1280, 720, 16, 0), 0);
    EXPECT_EQ(video.m_VideoInf.nBitCount, 24);
    EXPECT_EQ(video.m_VideoInf.nWidth, 1280);
    EXPECT_TRUE(video.graphHas(u"Color Space Converter"));
    // The capture pin kept its 16-bit format at the new size.
    tVideoInf inf{};
    ASSERT_TRUE(video.GetVideoInf(inf));
    EXPECT_EQ(inf.nBitCount, 24);
    simcam::Frames frames;
    frames.watch(video);
    EXPECT_EQ(frames.bits, 24);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    ASSERT_TRUE(frames.waitFor(3));
    video.CaptureStop();
    std::lock_guard lock(frames.lock);
    EXPECT_GE(frames.numbers.size(), 3u);
}

TEST_F(Connecting, FormatChangesLeaveOnlyTheFiltersOfTheLastBuild) {
    // The camera has only a capture pin, so every build puts a tee and a decoder or converter
    // in front of the grabber.
    cameras.sim().addDevice(simcam::v4l2::testing::uvcCamera("/dev/video0", "Sim UVC"));
    ConnectVideo video;
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Sim UVC", 0), 0);
    ASSERT_EQ(video.CaptureInit(640, 480, 16, 333333), 0);
    const int built = video.filterCount();
    EXPECT_EQ(built, 4) << video.names(); // camera, tee, decoder, grabber
    EXPECT_TRUE(video.graphHas(u"Smart Tee"));
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(video.CaptureInit(i % 2 ? 640 : 1280, i % 2 ? 480 : 720, 16, 333333), 0) << i;
    EXPECT_EQ(video.filterCount(), built) << video.names();
    // A failed build leaves nothing behind either; the device stays for the next one.
    ASSERT_EQ(video.CaptureInit(800, 600, 16, 333333), -1);
    EXPECT_EQ(video.filterCount(), 0) << video.names();
    ASSERT_EQ(video.CaptureInit(1920, 1080, 24, 333333), 0);
    EXPECT_EQ(video.filterCount(), built) << video.names();
    EXPECT_FALSE(video.graphHas(u"Smart Tee 0001"));
    simcam::Frames frames;
    frames.watch(video);
    ASSERT_EQ(video.CaptureStart(nullptr, nullptr), 0);
    EXPECT_TRUE(frames.waitFor(2));
    video.CaptureStop();
}

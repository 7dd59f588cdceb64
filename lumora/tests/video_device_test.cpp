// Device enumeration and naming: duplicate numbers, display names, lookups and binding.
#include "FakeDevices.h"

#include <lumora/Video.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using fakedevices::Device;
using fakedevices::Scope;

// Exposes the protected members under test.
struct Video : CVideo {
    using CVideo::BindCaptureDevice;
    using CVideo::GetCaptureDeviceList;
    using CVideo::m_nDeviceIndex;
    using CVideo::m_strDevicePath;
    using CVideo::m_strFriendlyName;
    IBaseFilter* source() const { return m_pSource; }
    void dropSource() {
        if (m_pSource)
            m_pSource->Release();
        m_pSource = nullptr;
    }
};

const std::vector<Device> kCamMicCam = {
    {u"Cam", u"Front", u"/dev/v4l/by-id/cam-front"},
    {u"Mic", u"", u"/dev/video7"},
    {u"Cam", u"", u"/dev/v4l/by-id/cam-rear"},
};

TEST(DeviceList, SharedNamesAreNumberedInListOrder) {
    Scope devices(kCamMicCam);
    tVideoDev list[8];
    ASSERT_EQ(CVideo::GetCaptureDeviceList(list, 8), 3);
    EXPECT_EQ(list[0].nIndex, 1);
    EXPECT_EQ(list[1].nIndex, 0);
    EXPECT_EQ(list[2].nIndex, 2);
    EXPECT_STREQ(list[0].szDescription, "Front");
    EXPECT_STREQ(list[1].szDescription, "");
    EXPECT_STREQ(CVideo::GetDeviceDispName(list[0]), "Cam (1) Front");
    EXPECT_STREQ(CVideo::GetDeviceDispName(list[1]), "Mic");
    EXPECT_STREQ(CVideo::GetDeviceDispName(list[2]), "Cam (2)");
    EXPECT_STREQ(CVideo::GetDeviceDispName("Cam", 2, "Front"), "Cam (2) Front");
    EXPECT_STREQ(CVideo::GetDeviceDispName("Cam", 0, nullptr), "Cam");
}

TEST(DeviceList, CopiesAtMostTheBufferAndSkipsDevicesWithoutProperties) {
    std::vector<Device> devices = kCamMicCam;
    devices.insert(devices.begin() + 1, Device{u"Ghost", u"", u"/dev/ghost", false});
    Scope scope(devices);
    tVideoDev list[3];
    EXPECT_EQ(CVideo::GetCaptureDeviceList(list, 1), 1);
    EXPECT_STREQ(list[0].szFriendlyName, "Cam");
    EXPECT_EQ(CVideo::GetCaptureDeviceList(list, 0), 0);
    EXPECT_EQ(CVideo::GetCaptureDeviceList(list, 3), 3); // the ghost has no property bag
    EXPECT_STREQ(list[1].szFriendlyName, "Mic");
}

TEST(DeviceList, EmptyCategoryAndMissingEnumerator) {
    {
        Scope none({});
        tVideoDev list[2];
        EXPECT_EQ(CVideo::GetCaptureDeviceList(list, 2), 0);
        EXPECT_STREQ(CVideo::GetDevicePath("Cam", 0), "");
        EXPECT_STREQ(CVideo::GetDeviceFriendlyName("/dev/x", nullptr), "");
        Video video;
        EXPECT_EQ(video.BindCaptureDevice(""), FALSE);
    }
    const auto previous = platform::registerClass(CLSID_SystemDeviceEnum, nullptr);
    platform::unregisterClass(CLSID_SystemDeviceEnum);
    CArray<tVideoDev, tVideoDev&> array;
    EXPECT_EQ(Video::GetCaptureDeviceList(array), -1);
    if (previous)
        platform::registerClass(CLSID_SystemDeviceEnum, previous);
}

TEST(DeviceLookup, PathsByNameAndIndex) {
    Scope devices(kCamMicCam);
    EXPECT_STREQ(CVideo::GetDevicePath("Cam", 0), "/dev/v4l/by-id/cam-front");
    EXPECT_STREQ(CVideo::GetDevicePath("Cam", 1), "/dev/v4l/by-id/cam-front");
    EXPECT_STREQ(CVideo::GetDevicePath("Cam", 2), "/dev/v4l/by-id/cam-rear");
    EXPECT_STREQ(CVideo::GetDevicePath("Cam", -1), "/dev/v4l/by-id/cam-front");
    EXPECT_STREQ(CVideo::GetDevicePath("Mic", 0), "/dev/video7");
    // No match falls back to the first record of the list.
    EXPECT_STREQ(CVideo::GetDevicePath("Cam", 3), "/dev/v4l/by-id/cam-front");
    EXPECT_STREQ(CVideo::GetDevicePath("Nobody", 0), "/dev/v4l/by-id/cam-front");
    EXPECT_STREQ(CVideo::GetDevicePath(nullptr, 0), "/dev/v4l/by-id/cam-front");
    // The list comparison is case-sensitive.
    EXPECT_STREQ(CVideo::GetDevicePath("mic", 0), "/dev/v4l/by-id/cam-front");
}

TEST(DeviceLookup, NamesByPath) {
    Scope devices(kCamMicCam);
    int index = -7;
    EXPECT_STREQ(CVideo::GetDeviceFriendlyName("/dev/v4l/by-id/cam-rear", &index), "Cam");
    EXPECT_EQ(index, 2);
    EXPECT_STREQ(CVideo::GetDeviceFriendlyName("/dev/unknown", &index), "Cam");
    EXPECT_EQ(index, 1);
    EXPECT_STREQ(CVideo::GetDeviceFriendlyName("/dev/video7", nullptr), "Mic");
}

TEST(DeviceBinding, ByPathIgnoringCaseAndByNameAndIndex) {
    Scope devices(kCamMicCam);
    Video video;
    EXPECT_EQ(video.BindCaptureDevice("/DEV/VIDEO7"), TRUE);
    EXPECT_EQ(fakedevices::lastBound(), u"/dev/video7");
    EXPECT_EQ(video.BindCaptureDevice("/dev/none"), FALSE);
    EXPECT_EQ(video.BindCaptureDevice(nullptr), TRUE); // the first device
    EXPECT_EQ(fakedevices::lastBound(), u"/dev/v4l/by-id/cam-front");

    // A name that matches only when case is ignored is bound, though not found in the list.
    EXPECT_EQ(video.BindCaptureDevice("mic", 0), TRUE);
    EXPECT_EQ(fakedevices::lastBound(), u"/dev/video7");
    EXPECT_EQ(video.BindCaptureDevice("CAM", 2), TRUE);
    EXPECT_EQ(fakedevices::lastBound(), u"/dev/v4l/by-id/cam-rear");
    EXPECT_EQ(video.BindCaptureDevice("Cam", 1), TRUE);
    EXPECT_EQ(fakedevices::lastBound(), u"/dev/v4l/by-id/cam-front");
    EXPECT_EQ(video.BindCaptureDevice("Cam", 3), FALSE);
    video.dropSource();
}

TEST(DeviceList, ThreeCamerasOfOneNameAreNumberedFoundAndBoundOneToThree) {
    Scope devices(
        {{u"Cam", u"", u"/dev/cam-a"}, {u"Cam", u"", u"/dev/cam-b"}, {u"Cam", u"", u"/dev/cam-c"}});
    tVideoDev list[4];
    ASSERT_EQ(CVideo::GetCaptureDeviceList(list, 4), 3);
    EXPECT_EQ(list[0].nIndex, 1);
    EXPECT_EQ(list[1].nIndex, 2);
    EXPECT_EQ(list[2].nIndex, 3);
    EXPECT_STREQ(CVideo::GetDeviceDispName(list[2]), "Cam (3)");
    EXPECT_STREQ(CVideo::GetDevicePath("Cam", 3), "/dev/cam-c");
    EXPECT_STREQ(CVideo::GetDevicePath("Cam", 4), "/dev/cam-a"); // none: the first
    int index = 0;
    EXPECT_STREQ(CVideo::GetDeviceFriendlyName("/dev/cam-b", &index), "Cam");
    EXPECT_EQ(index, 2);
    Video video;
    EXPECT_EQ(video.BindCaptureDevice("Cam", 3), TRUE);
    EXPECT_EQ(fakedevices::lastBound(), u"/dev/cam-c");
    EXPECT_EQ(video.BindCaptureDevice("Cam", 4), FALSE);
    video.dropSource();
    ASSERT_EQ(video.Open(OPEN_DEVICE, "Cam", 3), 0);
    EXPECT_STREQ(video.m_strDevicePath, "/dev/cam-c");
    EXPECT_EQ(video.m_nDeviceIndex, 3);
    EXPECT_STREQ(video.GetDeviceDispName(), "Cam (3)");
}

// Binding ignores case while the list lookups do not: the object must name the device it
// bound, not the first device the lookups fell back to.
TEST(DeviceBinding, OpeningInAnotherCaseRecordsTheDeviceActuallyBound) {
    Scope devices({{u"Alpha", u"", u"/dev/v4l/by-id/alpha"},
                   {u"Cam", u"Front", u"/dev/v4l/by-id/cam"},
                   {u"Cam", u"", u"/dev/v4l/by-id/cam-2"}});
    struct Case {
        const char* name;
        int index;
        const char* path;
        int deviceIndex;
    } cases[] = {{"cam", 0, "/dev/v4l/by-id/cam", 1},
                 {"CAM", 2, "/dev/v4l/by-id/cam-2", 2},
                 {"/DEV/V4L/BY-ID/CAM-2", -1, "/dev/v4l/by-id/cam-2", 2},
                 {"/dev/v4l/by-id/ALPHA", -1, "/dev/v4l/by-id/alpha", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Video video;
        ASSERT_EQ(video.Open(OPEN_DEVICE, c.name, c.index), 0);
        const std::u16string bound = fakedevices::lastBound();
        EXPECT_EQ(std::string(bound.begin(), bound.end()), c.path);
        EXPECT_STREQ(video.m_strDevicePath, c.path);
        EXPECT_STREQ(video.m_strFriendlyName, c.deviceIndex ? "Cam" : "Alpha");
        EXPECT_EQ(video.m_nDeviceIndex, c.deviceIndex);
    }
}

} // namespace

// Device enumeration and naming: duplicate numbers, display names, lookups and binding.
#include "FakeDevices.h"

#include <lumora/Video.h>

#include <gtest/gtest.h>

namespace {

using fakedevices::Device;
using fakedevices::Scope;

// Exposes the protected members under test.
struct Video : CVideo {
    using CVideo::BindCaptureDevice;
    using CVideo::GetCaptureDeviceList;
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

} // namespace

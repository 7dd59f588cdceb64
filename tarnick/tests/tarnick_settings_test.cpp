// The settings file: defaults, the ten keys, number and interval conversions, its location.
#include "TestSupport.h"

#include <platform/profile.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {

using testsupport::SettingsFile;

std::string readKey(const std::string& path, const char* section, const char* key) {
    char value[256];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof(value), path.c_str());
    return value;
}

TEST(Settings, NoFileGivesDefaultsAndClosingWritesAllTenKeys) {
    SettingsFile file;
    {
        CTarnickDlg dlg;
        ASSERT_TRUE(dlg.Create());
        EXPECT_EQ(dlg.m_connectPort, 7373);
        EXPECT_STREQ(dlg.m_connectHost, "localhost");
        EXPECT_EQ(dlg.m_autoStart, 0);
        EXPECT_STREQ(dlg.m_device.szFriendlyName, "");
        EXPECT_EQ(dlg.m_videoInf.nWidth, 320);
        EXPECT_EQ(dlg.m_videoInf.nHeight, 240);
        EXPECT_EQ(dlg.m_videoInf.nBitCount, 24);
        EXPECT_EQ(dlg.m_videoInf.llFrameInterval, 666667);
        dlg.OnSysCommand(SC_CLOSE);
    }
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } keys[] = {{"NETWORK", "CONNECT_HOST", "localhost"},
                {"NETWORK", "CONNECT_PORT", "7373"},
                {"CONFIG", "AUTO_START", "0"},
                {"DEVICE", "DEVICE_PATH", ""},
                {"DEVICE", "FRIENDLY_NAME", ""},
                {"DEVICE", "DEVICE_INDEX", "0"},
                {"VIDEO", "WIDTH", "320"},
                {"VIDEO", "HEIGHT", "240"},
                {"VIDEO", "BITCOUNT", "24"},
                {"VIDEO", "FRAME_PER_SEC", "15"}};
    char sections[512];
    ASSERT_GT(GetPrivateProfileStringA(nullptr, nullptr, "", sections, sizeof(sections),
                                       file.path().c_str()),
              0u);
    for (const auto& k : keys) {
        char listed[512];
        GetPrivateProfileStringA(k.section, nullptr, "", listed, sizeof(listed),
                                 file.path().c_str());
        bool found = false;
        for (const char* name = listed; *name; name += std::strlen(name) + 1)
            found = found || std::strcmp(name, k.key) == 0;
        EXPECT_TRUE(found) << k.section << "/" << k.key;
        if (*k.value) {
            EXPECT_EQ(readKey(file.path(), k.section, k.key), k.value) << k.key;
        }
    }
}

TEST(Settings, NumbersMustBeWholeDecimalStrings) {
    SettingsFile file;
    CTarnickDlg dlg;
    const char* path = file.path().c_str();
    struct {
        const char* text;
        int expected;
    } cases[] = {{"80x", 7373}, {" 81", 81}, {"-5", -5}, {"", 7373}, {"99999999999", 7373}};
    for (const auto& c : cases) {
        dlg.m_connectPort = 7373;
        WritePrivateProfileStringA("NETWORK", "CONNECT_PORT", c.text, path);
        dlg.LoadNetworkSettings();
        EXPECT_EQ(dlg.m_connectPort, c.expected) << '"' << c.text << '"';
    }
}

TEST(Settings, FramesPerSecondConvertToWholeIntervals) {
    SettingsFile file;
    CTarnickDlg dlg;
    WritePrivateProfileStringA("VIDEO", "FRAME_PER_SEC", "30", file.path().c_str());
    dlg.LoadVideoSettings();
    EXPECT_EQ(dlg.m_videoInf.llFrameInterval, 333333);
    dlg.SaveVideoSettings();
    EXPECT_EQ(readKey(file.path(), "VIDEO", "FRAME_PER_SEC"), "30");

    // A rate that names no interval leaves the current one.
    WritePrivateProfileStringA("VIDEO", "FRAME_PER_SEC", "0", file.path().c_str());
    dlg.LoadVideoSettings();
    EXPECT_EQ(dlg.m_videoInf.llFrameInterval, 333333);
}

TEST(Settings, EmptyHostKeepsTheLoopbackName) {
    SettingsFile file;
    CTarnickDlg dlg;
    WritePrivateProfileStringA("NETWORK", "CONNECT_HOST", "", file.path().c_str());
    dlg.LoadNetworkSettings();
    EXPECT_STREQ(dlg.m_connectHost, "localhost");
    WritePrivateProfileStringA("NETWORK", "CONNECT_HOST", "camera-room", file.path().c_str());
    dlg.LoadNetworkSettings();
    EXPECT_STREQ(dlg.m_connectHost, "camera-room");
}

TEST(Settings, LongDeviceNamesAreCutInsideTheirFields) {
    SettingsFile file;
    CTarnickDlg dlg;
    std::string name;
    for (int i = 0; i < 60; ++i)
        name += "カメ"; // 6 bytes a pair: far beyond 127 bytes
    WritePrivateProfileStringA("DEVICE", "FRIENDLY_NAME", name.c_str(), file.path().c_str());
    dlg.LoadDeviceSettings();
    const size_t length = std::strlen(dlg.m_device.szFriendlyName);
    EXPECT_LE(length, 127u);
    EXPECT_EQ(length % 3, 0u); // whole characters only
}

TEST(Settings, FileBesideTheProgramIsFoundFromAnyDirectory) {
    SettingsFile file;
    WritePrivateProfileStringA("NETWORK", "CONNECT_PORT", "8080", file.path().c_str());
    const auto here = std::filesystem::current_path();
    ASSERT_EQ(chdir("/"), 0);
    CTarnickDlg dlg;
    dlg.LoadNetworkSettings();
    EXPECT_EQ(dlg.m_connectPort, 8080);
    std::filesystem::current_path(here);
    EXPECT_EQ(std::filesystem::path(dlg.GetSettingsFilePath().str()).parent_path(),
              std::filesystem::path(file.path()).parent_path());
}

} // namespace

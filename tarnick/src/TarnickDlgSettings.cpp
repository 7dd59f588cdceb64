// CTarnickDlg settings: the INI file beside the executable and its ten keys.
#include "SettingsLocation.h"
#include "TarnickDlg.h"

#include <platform/kernel.h>
#include <platform/profile.h>
#include <platform/text.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr DWORD kValueBuffer = 256;

// The executable's name without its extension ("tarnick" for /usr/bin/tarnick).
CString applicationName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    std::string name = slash ? slash + 1 : path;
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return CString(name);
}

// Reads one key with the member's current text as the default; false when nothing came back
// (a missing key or a key present with an empty value).
bool readKey(const char* section, const char* key, const char* current, char (&value)[kValueBuffer],
             const CString& path) {
    return GetPrivateProfileStringA(section, key, current, value, kValueBuffer, path) != 0;
}

// Whole-string decimal: leading blanks and a sign are allowed, trailing characters are not.
// Values beyond int are refused as well, so they never wrap.
bool parseWholeNumber(const char* text, int& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    out = static_cast<int>(value);
    return true;
}

void readNumber(const char* section, const char* key, int& member, const CString& path) {
    CString current;
    current.Format("%d", member);
    char value[kValueBuffer];
    int parsed;
    if (readKey(section, key, current, value, path) && parseWholeNumber(value, parsed))
        member = parsed;
}

void writeNumber(const char* section, const char* key, int value, const CString& path) {
    CString text;
    text.Format("%d", value);
    settingslocation::writeKey(section, key, text, path);
}

int framesPerSecond(LONGLONG interval) {
    return interval > 0 ? static_cast<int>(10000000.0 / static_cast<double>(interval) + 0.5) : 0;
}

// Gives the user a copy of the settings file shipped beside the program, once: the user's
// copy, once it exists, is never replaced. Failures leave things as they are (the profile
// functions then start an empty file on the first write).
void seedUserCopy(const std::string& beside, const std::string& userCopy) {
    std::error_code error;
    if (userCopy.empty() || std::filesystem::exists(userCopy, error) ||
        !std::filesystem::is_regular_file(beside, error))
        return;
    std::filesystem::create_directories(std::filesystem::path(userCopy).parent_path(), error);
    std::filesystem::copy_file(beside, userCopy, std::filesystem::copy_options::skip_existing,
                               error);
}

} // namespace

// The executable's directory + its name + ".ini". When that directory cannot be written (an
// installed program), the settings live in the user's own copy under the bare name, which the
// profile functions keep in the user's configuration folder; that copy starts as the file
// shipped beside the program, so a preset placed there is read, the user's changes are kept,
// and from then on the user's copy is the one read.
CString CTarnickDlg::GetSettingsFilePath() {
    // A file chosen on the command line replaces all of this (another camera, another copy).
    if (const std::string& chosen = settingslocation::chosen(); !chosen.empty())
        return CString(chosen.c_str());
    char module[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        CString bare;
        bare.Format("%s.ini", "tarnick");
        return bare;
    }
    const CString name = applicationName(module);
    char full[MAX_PATH];
    char* filePart = nullptr;
    const DWORD fullLength = GetFullPathNameA(module, MAX_PATH, full, &filePart);
    CString path;
    if (fullLength == 0 || fullLength >= MAX_PATH || !filePart) {
        path.Format("%s.ini", name.GetString());
        return path;
    }
    *filePart = '\0';
    if (::access(full, W_OK) != 0) {
        CString bare;
        bare.Format("%s.ini", name.GetString());
        CString beside;
        beside.Format("%s%s", full, bare.GetString());
        seedUserCopy(beside.GetString(), platform::resolveProfilePath(bare.GetString()));
        return bare;
    }
    path.Format("%s%s.ini", full, name.GetString());
    return path;
}

void CTarnickDlg::LoadNetworkSettings() {
    const CString path = GetSettingsFilePath();
    char value[kValueBuffer];
    if (readKey("NETWORK", "CONNECT_HOST", m_connectHost, value, path))
        m_connectHost = value;
    readNumber("NETWORK", "CONNECT_PORT", m_connectPort, path);
    // Optional, and only ever put there by the user: absent or empty means none.
    m_accessKey = readKey("NETWORK", "ACCESS_KEY", "", value, path) ? value : "";
    m_listenAddress = readKey("NETWORK", "LISTEN_ADDRESS", "", value, path) ? value : "";
    LoadPublishSettings();
    LoadWebRtcViewerSettings();
    LoadAutoStart();
}

// With a usable WebRTC output (WEBRTC RTP_URL), the server's page plays it from Janus: at JANUS_URL
// (empty: the browser's own host, port 8088), mountpoint MOUNTPOINT (1 unless given).
void CTarnickDlg::LoadWebRtcViewerSettings() {
    const CString path = GetSettingsFilePath();
    char value[kValueBuffer];
    // After LoadPublishSettings: only an RTP output that was taken is offered to browsers.
    const bool sending = !m_publishSettings.rtpUrl.empty();
    m_janusUrl = readKey("WEBRTC", "JANUS_URL", "", value, path) ? value : "";
    m_webRtcMountpoint = 1;
    readNumber("WEBRTC", "MOUNTPOINT", m_webRtcMountpoint, path);
    if (m_webRtcMountpoint <= 0) {
        std::fprintf(stderr, "tarnick: WEBRTC MOUNTPOINT=%d is not a mountpoint; using 1\n",
                     m_webRtcMountpoint);
        m_webRtcMountpoint = 1;
    }
    if (!sending)
        m_webRtcMountpoint = 0;
    std::fflush(stderr);
}

// Optional as well, and only ever written by the user: where the capture server also
// publishes its camera (PUBLISH section). A URL that is not rtmp:// or rtmps://, or one too
// long to have been read whole, is refused with a line on standard error; numbers out of
// their range are brought into it.
void CTarnickDlg::LoadPublishSettings() {
    const CString path = GetSettingsFilePath();
    char value[kValueBuffer];
    m_publishSettings = PublishSettings{};
    const DWORD length = GetPrivateProfileStringA("PUBLISH", "URL", "", value, kValueBuffer, path);
    if (length >= kValueBuffer - 1) {
        std::fprintf(stderr,
                     "tarnick: the PUBLISH URL is longer than %u characters; not publishing\n",
                     unsigned(kValueBuffer - 2));
    } else if (length > 0) {
        if (Publisher::isPublishUrl(value))
            m_publishSettings.url = value;
        else
            std::fprintf(stderr,
                         "tarnick: the PUBLISH URL \"%s\" is not an rtmp:// or rtmps:// URL; "
                         "not publishing\n",
                         Publisher::displayUrl(value).c_str());
    }
    auto bounded = [&](const char* key, int& member, int low, int high) {
        readNumber("PUBLISH", key, member, path);
        if (member < low || member > high) {
            const int clamped = member < low ? low : high;
            std::fprintf(stderr, "tarnick: PUBLISH %s=%d is out of %d..%d; using %d\n", key, member,
                         low, high, clamped);
            member = clamped;
        }
    };
    bounded("BITRATE_KBPS", m_publishSettings.bitrateKbps, PublishSettings::kMinBitrateKbps,
            PublishSettings::kMaxBitrateKbps);
    bounded("KEYFRAME_SECONDS", m_publishSettings.keyframeSeconds,
            PublishSettings::kMinKeyframeSeconds, PublishSettings::kMaxKeyframeSeconds);
    // rtmps:// to a self-signed ingest: the authority to trust instead of the system's.
    if (GetPrivateProfileStringA("PUBLISH", "CA_FILE", "", value, kValueBuffer, path) > 0)
        m_publishSettings.caFile = value;
    // [WEBRTC] RTP_URL: the same encoded camera also goes as RTP to a WebRTC gateway's
    // mountpoint (rtp://ADDRESS:PORT, a numeric address). Read only; empty or unusable: off.
    const DWORD rtpLength =
        GetPrivateProfileStringA("WEBRTC", "RTP_URL", "", value, kValueBuffer, path);
    std::string rtpWhy;
    if (rtpLength >= kValueBuffer - 1)
        std::fprintf(stderr,
                     "tarnick: the WEBRTC RTP_URL is longer than %u characters; not "
                     "sending RTP\n",
                     unsigned(kValueBuffer - 2));
    else if (rtpLength > 0 && Publisher::isRtpUrl(value, &rtpWhy))
        m_publishSettings.rtpUrl = value;
    else if (rtpLength > 0)
        std::fprintf(stderr,
                     "tarnick: the WEBRTC RTP_URL \"%s\" is unusable (%s); not sending RTP\n",
                     value, rtpWhy.c_str());
    std::fflush(stderr);
}

void CTarnickDlg::LoadAutoStart() {
    const CString path = GetSettingsFilePath();
    readNumber("CONFIG", "AUTO_START", m_autoStart, path);
    // Only ever put there by the user: the start-up server keeps its window on the screen
    // instead of going into the tray (a first look at the program serving).
    int shown = 0;
    readNumber("CONFIG", "START_SHOWN", shown, path);
    m_startShown = shown == 1;
}

void CTarnickDlg::LoadDeviceSettings() {
    const CString path = GetSettingsFilePath();
    char value[kValueBuffer];
    if (readKey("DEVICE", "DEVICE_PATH", m_device.szDevicePath, value, path))
        platform::copyUtf8Bounded(m_device.szDevicePath, sizeof(m_device.szDevicePath), value);
    // A name longer than the field is cut at a whole character, never left unterminated.
    if (readKey("DEVICE", "FRIENDLY_NAME", m_device.szFriendlyName, value, path))
        platform::copyUtf8Bounded(m_device.szFriendlyName, sizeof(m_device.szFriendlyName), value);
    readNumber("DEVICE", "DEVICE_INDEX", m_device.nIndex, path);
}

void CTarnickDlg::LoadVideoSettings() {
    const CString path = GetSettingsFilePath();
    readNumber("VIDEO", "WIDTH", m_videoInf.nWidth, path);
    readNumber("VIDEO", "HEIGHT", m_videoInf.nHeight, path);
    readNumber("VIDEO", "BITCOUNT", m_videoInf.nBitCount, path);
    int fps = framesPerSecond(m_videoInf.llFrameInterval);
    readNumber("VIDEO", "FRAME_PER_SEC", fps, path);
    // A rate of 0 or less names no interval: the current one stays.
    if (fps > 0)
        m_videoInf.llFrameInterval = static_cast<LONGLONG>(10000000.0 / fps + 0.5);
}

void CTarnickDlg::SaveNetworkSettings() {
    const CString path = GetSettingsFilePath();
    settingslocation::writeKey("NETWORK", "CONNECT_HOST", m_connectHost, path);
    writeNumber("NETWORK", "CONNECT_PORT", m_connectPort, path);
    SaveAutoStart();
}

void CTarnickDlg::SaveAutoStart() {
    writeNumber("CONFIG", "AUTO_START", m_autoStart, GetSettingsFilePath());
}

void CTarnickDlg::SaveDeviceSettings() {
    const CString path = GetSettingsFilePath();
    settingslocation::writeKey("DEVICE", "DEVICE_PATH", m_device.szDevicePath, path);
    settingslocation::writeKey("DEVICE", "FRIENDLY_NAME", m_device.szFriendlyName, path);
    writeNumber("DEVICE", "DEVICE_INDEX", m_device.nIndex, path);
}

void CTarnickDlg::SaveVideoSettings() {
    const CString path = GetSettingsFilePath();
    writeNumber("VIDEO", "WIDTH", m_videoInf.nWidth, path);
    writeNumber("VIDEO", "HEIGHT", m_videoInf.nHeight, path);
    writeNumber("VIDEO", "BITCOUNT", m_videoInf.nBitCount, path);
    writeNumber("VIDEO", "FRAME_PER_SEC", framesPerSecond(m_videoInf.llFrameInterval), path);
}

// Left alone, the program keeps working: the start-up server waits for its camera and its
// port, the start-up client for its server, a camera unplugged while serving comes back to
// the same viewers, a server that returns at another size is followed, and a connection that
// hangs never freezes the window. Real window, real transport on loopback, the built-in
// test-pattern camera and simulated V4L2 cameras listed through the real device enumerator.
#include "MessageBox.h"
#include "TestSupport.h"
#include "loopback.h"

#include "media/sources/v4l2/v4l2_source.h"
#include "pattern_strip.h"
#include "testing/simulated_v4l2.h"

#include <platform/com.h>
#include <platform/media/device_providers.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPixmap>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace v4l2 = platform::media::v4l2;
namespace pattern = platform::media::pattern;
using testsupport::pumpUntil;
using testsupport::SettingsFile;

constexpr const char* kPattern = "ormidal:test-pattern";
constexpr const char* kSimNode = "/dev/video7";
constexpr const char* kSimById = "usb-Sim_Desk_Camera-video-index0";

std::string startUpSettings(int autoStart, int port, const std::string& device,
                            const std::string& host = "localhost",
                            std::pair<int, int> size = {640, 480}) {
    return "[NETWORK]\nCONNECT_HOST=" + host + "\nCONNECT_PORT=" + std::to_string(port) +
           "\n[CONFIG]\nAUTO_START=" + std::to_string(autoStart) +
           "\n[DEVICE]\nDEVICE_PATH=" + device + "\n[VIDEO]\nWIDTH=" + std::to_string(size.first) +
           "\nHEIGHT=" + std::to_string(size.second) + "\nBITCOUNT=24\nFRAME_PER_SEC=30\n";
}

void writeSettings(const SettingsFile& file, const std::string& text) {
    std::ofstream(file.path()) << text;
}

// The pattern's frame number in the picture the window holds, when it carries one.
bool shownFrameNumber(CTarnickDlg& dlg, uint32_t* number) {
    const BITMAPINFO* frame = dlg.m_pFrameBuf;
    pattern::StripData strip;
    if (!frame || !pattern::decodeStripDib(CVideo::GetBmpImageData(frame), frame->bmiHeader.biWidth,
                                           frame->bmiHeader.biHeight, 24, &strip))
        return false;
    *number = strip.frameNumber;
    return true;
}

bool framesAdvance(CTarnickDlg& dlg, int boundMs = 10000) {
    uint32_t first = 0, later = 0;
    return pumpUntil([&] { return shownFrameNumber(dlg, &first); }, boundMs) &&
           pumpUntil([&] { return shownFrameNumber(dlg, &later) && later != first; }, boundMs);
}

// A capture server of the test-pattern camera at a given size, as another program runs it.
class PatternServer {
public:
    PatternServer(int port, int width, int height) {
        ok_ = video_.Open(OPEN_DEVICE, kPattern, -1) == 0 &&
              video_.CaptureInit(width, height, 24, 333333) == 0 &&
              server_.OpenServer(port, width, height, 30) == 0;
        video_.SetSampleCallBack(&PatternServer::onFrame, this);
        ok_ = ok_ && video_.CaptureStart(nullptr, nullptr) == 0;
    }
    ~PatternServer() {
        video_.CaptureStop();
        video_.Close();
        server_.Close();
    }
    bool ok() const { return ok_; }

private:
    static void onFrame(BYTE* frame, void* self) {
        static_cast<PatternServer*>(self)->server_.AddFrame(frame, 1);
    }
    CVideo video_;
    CTavrel server_;
    bool ok_ = false;
};

// One viewer of /stream over a plain socket: it notes every part's capture time and whether
// the server ever closed its connection.
class StreamViewer {
public:
    explicit StreamViewer(int port) {
        fd_ = loopback::connect(port);
        const std::string request = "GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ok_ = fd_ >= 0 && ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) ==
                              static_cast<ssize_t>(request.size());
        thread_ = std::thread([this] { read(); });
    }
    ~StreamViewer() {
        stop_ = true;
        thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return ok_; }
    bool closed() const { return closed_; }
    int parts() {
        std::lock_guard lock(lock_);
        return static_cast<int>(stamps_.size());
    }
    // Capture times of the parts received from `from` on that differ from `notThis`.
    bool newStampSince(int from, const std::string& notThis) {
        std::lock_guard lock(lock_);
        for (size_t i = static_cast<size_t>(from); i < stamps_.size(); ++i)
            if (stamps_[i] != notThis)
                return true;
        return false;
    }
    std::string lastStamp() {
        std::lock_guard lock(lock_);
        return stamps_.empty() ? std::string() : stamps_.back();
    }

private:
    void read() {
        std::string pending;
        char buffer[65536];
        while (!stop_ && fd_ >= 0) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                return;
            }
            pending.append(buffer, static_cast<size_t>(n));
            // Only the part heads matter; the pictures in between are skipped over.
            for (;;) {
                const size_t at = pending.find("X-Timestamp: ");
                if (at == std::string::npos) {
                    if (pending.size() > 64)
                        pending.erase(0, pending.size() - 64);
                    break;
                }
                const size_t end = pending.find("\r\n", at);
                if (end == std::string::npos)
                    break;
                {
                    std::lock_guard lock(lock_);
                    stamps_.push_back(pending.substr(at + 13, end - at - 13));
                }
                pending.erase(0, end);
            }
        }
    }
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::mutex lock_;
    std::vector<std::string> stamps_;
    std::thread thread_;
};

// The simulated devices, with a hook run whenever a camera is given its capture buffers: on
// the thread that starts capture, before the camera can stream its first frame.
class HookedV4l2 final : public v4l2::V4l2Io {
public:
    explicit HookedV4l2(std::shared_ptr<v4l2::testing::SimulatedV4l2> io) : io_(std::move(io)) {}
    void onCaptureStart(std::function<void()> hook) {
        std::lock_guard lock(lock_);
        hook_ = std::move(hook);
    }
    int open(const std::string& path, int flags) override { return io_->open(path, flags); }
    int close(int fd) override { return io_->close(fd); }
    int ioctl(int fd, unsigned long request, void* arg) override {
        if (request == VIDIOC_REQBUFS && static_cast<v4l2_requestbuffers*>(arg)->count > 0) {
            std::function<void()> hook;
            {
                std::lock_guard lock(lock_);
                hook = hook_;
            }
            if (hook)
                hook();
        }
        return io_->ioctl(fd, request, arg);
    }
    void* mmap(int fd, size_t length, off_t offset, int* error) override {
        return io_->mmap(fd, length, offset, error);
    }
    int munmap(void* address, size_t length) override { return io_->munmap(address, length); }
    int poll(int fd, short events, int timeoutMs) override {
        return io_->poll(fd, events, timeoutMs);
    }
    std::vector<std::string> listDirectory(const std::string& dir) override {
        return io_->listDirectory(dir);
    }
    std::string resolvePath(const std::string& path) override { return io_->resolvePath(path); }

private:
    std::shared_ptr<v4l2::testing::SimulatedV4l2> io_;
    std::mutex lock_;
    std::function<void()> hook_;
};

// Counts the frames a transport client delivers (on its delivery thread).
struct Receiver {
    std::atomic<int> count{0};
    static void onFrame(unsigned char*, void* self) { ++static_cast<Receiver*>(self)->count; }
};

// Simulated V4L2 cameras listed before the test-pattern camera while the scope lives.
class SimulatedCameras {
public:
    SimulatedCameras()
        : io_(std::make_shared<v4l2::testing::SimulatedV4l2>()),
          hooked_(std::make_shared<HookedV4l2>(io_)) {
        id_ = v4l2::registerV4l2Provider(hooked_, platform::media::kRankRegistered);
    }
    void onCaptureStart(std::function<void()> hook) { hooked_->onCaptureStart(std::move(hook)); }
    ~SimulatedCameras() { platform::media::unregisterDeviceProvider(id_); }
    // The camera, offering only one size when `only` is given.
    void plugIn(std::pair<uint32_t, uint32_t> only = {0, 0}) {
        auto spec = v4l2::testing::uvcCamera(kSimNode, "Sim Desk Camera", kSimById);
        if (only.first)
            for (auto& format : spec.formats)
                format.sizes = {only};
        io_->addDevice(spec);
    }
    void unplug() { io_->unplug(kSimNode); }
    // The path the device list gives the camera (its stable link).
    static std::string path() {
        tVideoDev devices[16];
        const int count = CVideo::GetCaptureDeviceList(devices, 16);
        for (int i = 0; i < count; ++i)
            if (std::strcmp(devices[i].szFriendlyName, "Sim Desk Camera") == 0)
                return devices[i].szDevicePath;
        return {};
    }

private:
    std::shared_ptr<v4l2::testing::SimulatedV4l2> io_;
    std::shared_ptr<HookedV4l2> hooked_;
    int id_ = 0;
};

class Unattended : public testing::Test {
protected:
    void SetUp() override {
        // Devices are listed and servers built before the window initialises COM itself.
        CoInitialize(nullptr);
        setMessageBoxHandlerForTesting([this](const QString& text) { messages.push_back(text); });
    }
    void TearDown() override {
        dlg.EndDialog(IDOK);
        setMessageBoxHandlerForTesting(nullptr);
        CoUninitialize();
    }
    // Starts the window with the settings given, with short pauses between attempts.
    void start(const std::string& text) {
        writeSettings(settings, text);
        dlg.setUnattendedTiming(50, 400, 300);
        ASSERT_TRUE(dlg.Create());
    }

    SettingsFile settings;
    CTarnickDlg dlg;
    std::vector<QString> messages;
};

TEST_F(Unattended, StartUpServerWaitsForATakenPortAndServesOnceItIsFree) {
    int port = 0;
    const int holder = loopback::listen(&port);
    ASSERT_GE(holder, 0);
    start(startUpSettings(1, port, kPattern));
    // Capturing, but the port is someone else's: the program waits and says what for.
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsCapturing(); }));
    EXPECT_FALSE(dlg.IsServing());
    EXPECT_EQ(dlg.unattendedState(), CTarnickDlg::Unattended::WaitingForServer);
    EXPECT_TRUE(dlg.trayTip().startsWith("Tarnick: "));
    EXPECT_TRUE(dlg.trayTip().contains(QString::number(port))) << dlg.trayTip().toStdString();
    pumpUntil([] { return false; }, 3000); // attempts fail meanwhile, their pauses grow
    EXPECT_FALSE(dlg.IsServing());

    // The pauses stop growing at their ceiling: the port is taken soon after it comes free.
    ::close(holder);
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000)) << "never served";
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    StreamViewer viewer(port);
    ASSERT_TRUE(viewer.ok());
    EXPECT_TRUE(pumpUntil([&] { return viewer.parts() >= 2; }, 10000));
    EXPECT_TRUE(messages.empty()) << "nobody is there to answer a message box";
}

TEST_F(Unattended, StartUpServerWaitsForItsCameraAndServesWhenItIsPluggedIn) {
    SimulatedCameras cameras;
    cameras.plugIn();
    const std::string path = SimulatedCameras::path();
    ASSERT_FALSE(path.empty());
    cameras.unplug();
    const int port = loopback::freePort();
    start(startUpSettings(1, port, path));
    EXPECT_FALSE(dlg.IsCameraConnected());
    EXPECT_EQ(dlg.unattendedState(), CTarnickDlg::Unattended::WaitingForCamera);
    EXPECT_EQ(dlg.trayTip(), QString("Tarnick: ") + text::kTipWaitingForCamera);
    pumpUntil([] { return false; }, 400);
    EXPECT_FALSE(dlg.IsServing());

    cameras.plugIn();
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000)) << "never served";
    EXPECT_STREQ(dlg.m_device.szDevicePath, path.c_str());
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    StreamViewer viewer(port);
    EXPECT_TRUE(pumpUntil([&] { return viewer.parts() >= 2; }, 10000));
}

TEST_F(Unattended, CameraUnpluggedWhileServingComesBackToBothViewersWithoutDroppingThem) {
    SimulatedCameras cameras;
    cameras.plugIn();
    const std::string path = SimulatedCameras::path();
    const int port = loopback::freePort();
    start(startUpSettings(1, port, path));
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000));
    StreamViewer first(port), second(port);
    ASSERT_TRUE(pumpUntil([&] { return first.parts() >= 3 && second.parts() >= 3; }, 10000));
    // A camera that keeps delivering is never taken for gone, however long it runs.
    pumpUntil([] { return false; }, 2000);
    EXPECT_EQ(dlg.cameraLosses(), 0);

    cameras.unplug();
    // The program notices, says so, and the viewers keep the last picture meanwhile.
    ASSERT_TRUE(pumpUntil(
        [&] { return dlg.unattendedState() == CTarnickDlg::Unattended::CameraLost; }, 10000));
    EXPECT_EQ(dlg.statusText(), text::kCameraLostStatus);
    EXPECT_EQ(dlg.trayTip(), QString("Tarnick: ") + text::kTipCameraLost);
    EXPECT_TRUE(dlg.IsServing());
    const std::string lastPicture = first.lastStamp();
    const int before = first.parts();
    EXPECT_TRUE(pumpUntil([&] { return first.parts() > before; }, 5000))
        << "the last picture is sent again while the camera is away";

    const int fromFirst = first.parts(), fromSecond = second.parts();
    cameras.plugIn();
    const auto back = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil(
        [&] {
            return first.newStampSince(fromFirst, lastPicture) &&
                   second.newStampSince(fromSecond, lastPicture);
        },
        10000))
        << "the viewers never saw the camera again";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - back);
    RecordProperty("camera_return_ms", static_cast<int>(took.count()));
    EXPECT_FALSE(first.closed());
    EXPECT_FALSE(second.closed());
    EXPECT_EQ(dlg.unattendedState(), CTarnickDlg::Unattended::Watching);
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    EXPECT_TRUE(pumpUntil([&] { return dlg.statusText().startsWith("W=640, H=480, Rate="); }));
    EXPECT_EQ(dlg.cameraLosses(), 1);
}

// A listening socket on 127.0.0.1:`port`, or -1 while someone else has it.
int takePort(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback::address(port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(fd, 1) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// The record of the simulated camera, as the device list gives it.
tVideoDev simulatedDevice() {
    tVideoDev device{};
    const std::string path = SimulatedCameras::path();
    std::strncpy(device.szDevicePath, path.c_str(), sizeof device.szDevicePath - 1);
    std::strncpy(device.szFriendlyName, "Sim Desk Camera", sizeof device.szFriendlyName - 1);
    return device;
}

struct SizeChange {
    std::pair<int, int> from, to;
};

void PrintTo(const SizeChange& change, std::ostream* out) {
    *out << change.from.first << "x" << change.from.second << " to " << change.to.first << "x"
         << change.to.second;
}

class UnattendedSizeChange : public Unattended, public testing::WithParamInterface<SizeChange> {};

// Larger and smaller: a camera back at 640x480 under a server of 1280x720 would be read a
// whole 1280x720 frame long (AddressSanitizer builds report it).
TEST_P(UnattendedSizeChange, ACameraBackAtAnotherSizeIsServedAtThatSizeAndNeverFedToTheOldServer) {
    const auto [from, to] = GetParam();
    SimulatedCameras cameras;
    cameras.plugIn();
    const int port = loopback::freePort();
    start(startUpSettings(1, port, SimulatedCameras::path(), "localhost", from));
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000));
    ASSERT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, from.first);
    StreamViewer watching(port); // the server copies and encodes every frame meanwhile
    ASSERT_TRUE(pumpUntil([&] { return watching.parts() >= 2; }, 10000));
    cameras.unplug();
    ASSERT_TRUE(pumpUntil(
        [&] { return dlg.unattendedState() == CTarnickDlg::Unattended::CameraLost; }, 10000));
    // Whether the server of the old size was still open when capture started again.
    int startsWhileServing = 0;
    cameras.onCaptureStart([&] { startsWhileServing += dlg.IsServing() ? 1 : 0; });
    cameras.plugIn(to); // the size it had is no longer offered
    ASSERT_TRUE(pumpUntil(
        [&] { return dlg.unattendedState() == CTarnickDlg::Unattended::Watching; }, 10000));
    cameras.onCaptureStart(nullptr);
    EXPECT_EQ(startsWhileServing, 0) << "frames of the new size met the old server";
    ASSERT_TRUE(dlg.IsServing());
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, to.first);
    // A viewer now gets frames of the camera's new size, never rows cut to the old one.
    Receiver pictures;
    CTavrel viewer;
    ASSERT_EQ(viewer.OpenClient("127.0.0.1", port), 0);
    BITMAPINFOHEADER header{};
    ASSERT_EQ(viewer.GetBitmapInfoHdr(&header), 0);
    EXPECT_EQ(header.biWidth, to.first);
    EXPECT_EQ(header.biHeight, to.second);
    ASSERT_EQ(viewer.Run(&Receiver::onFrame, &pictures), 0);
    EXPECT_TRUE(pumpUntil([&] { return pictures.count >= 3; }, 10000));
    viewer.Close();
}

INSTANTIATE_TEST_SUITE_P(BothWays, UnattendedSizeChange,
                         testing::Values(SizeChange{{640, 480}, {1280, 720}},
                                         SizeChange{{1280, 720}, {640, 480}}),
                         [](const testing::TestParamInfo<SizeChange>& sizes) {
                             return "From" + std::to_string(sizes.param.from.first) + "To" +
                                    std::to_string(sizes.param.to.first);
                         });

// The served size is the server's own, however it was started: a server opened from the menu
// keeps its viewers when the camera returns at the size it serves.
TEST_F(Unattended, AServerStartedFromTheMenuKeepsItsViewersWhenTheCameraReturnsAtItsSize) {
    SimulatedCameras cameras;
    cameras.plugIn();
    const int port = loopback::freePort();
    start(startUpSettings(0, port, SimulatedCameras::path()));
    ASSERT_EQ(dlg.ConnectCamera(simulatedDevice()), 0);
    dlg.OnCommand(ID_CAPTURE_START);
    ASSERT_TRUE(dlg.IsCapturing());
    QTimer::singleShot(50, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->accept();
    });
    dlg.OnCommand(ID_CAPTURE_SERVER_START);
    ASSERT_TRUE(dlg.IsServing());
    StreamViewer viewer(port);
    ASSERT_TRUE(pumpUntil([&] { return viewer.parts() >= 2; }, 10000));

    cameras.unplug();
    ASSERT_TRUE(pumpUntil(
        [&] { return dlg.unattendedState() == CTarnickDlg::Unattended::CameraLost; }, 10000));
    const std::string lastPicture = viewer.lastStamp();
    const int from = viewer.parts();
    cameras.plugIn();
    ASSERT_TRUE(pumpUntil([&] { return viewer.newStampSince(from, lastPicture); }, 10000))
        << "the viewer never saw the camera again";
    EXPECT_FALSE(viewer.closed()) << "the server was opened again for the size it served";
    EXPECT_EQ(dlg.unattendedState(), CTarnickDlg::Unattended::Watching);
    EXPECT_TRUE(messages.empty());
}

// The camera is back at another size and its port was taken while the server of the old size
// was closed: the program says it waits for the port, keeps trying, and serves (and
// publishes) again once the port is free.
TEST_F(Unattended, AServerThatCannotReopenAtTheCamerasNewSizeWaitsForItsPortAndServesAgain) {
    SimulatedCameras cameras;
    cameras.plugIn();
    const int port = loopback::freePort();
    const int ingest = loopback::freePort(); // nobody listens: publishing keeps trying
    start(startUpSettings(1, port, SimulatedCameras::path()) +
          "[PUBLISH]\nURL=rtmp://127.0.0.1:" + std::to_string(ingest) + "/live/camera\n");
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000));
    EXPECT_TRUE(dlg.m_publisher.running());
    cameras.unplug();
    ASSERT_TRUE(pumpUntil(
        [&] { return dlg.unattendedState() == CTarnickDlg::Unattended::CameraLost; }, 10000));
    std::atomic<int> thief{-1};
    cameras.onCaptureStart([&] {
        if (thief.load() < 0)
            thief = takePort(port);
    });
    cameras.plugIn({1280, 720});
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsCapturing(); }, 10000));
    ASSERT_GE(thief.load(), 0) << "the old server still held its port when capture started";
    cameras.onCaptureStart(nullptr);
    ASSERT_TRUE(pumpUntil(
        [&] { return dlg.unattendedState() == CTarnickDlg::Unattended::WaitingForServer; }));
    EXPECT_FALSE(dlg.IsServing());
    EXPECT_FALSE(dlg.m_publisher.running()) << "publishing the new size without a server";
    EXPECT_TRUE(dlg.trayTip().startsWith("Tarnick: "));
    EXPECT_TRUE(dlg.trayTip().contains(QString::number(port))) << dlg.trayTip().toStdString();
    pumpUntil([] { return false; }, 1000); // attempts fail meanwhile
    EXPECT_FALSE(dlg.IsServing());

    ::close(thief.load());
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 10000)) << "never served again";
    EXPECT_EQ(dlg.unattendedState(), CTarnickDlg::Unattended::Watching);
    EXPECT_FALSE(dlg.trayTip().contains(QString::number(port))) << dlg.trayTip().toStdString();
    EXPECT_TRUE(dlg.m_publisher.running()) << "publishing did not start again";
    CTavrel viewer;
    ASSERT_EQ(viewer.OpenClient("127.0.0.1", port), 0);
    BITMAPINFOHEADER header{};
    ASSERT_EQ(viewer.GetBitmapInfoHdr(&header), 0);
    EXPECT_EQ(header.biWidth, 1280);
    viewer.Close();
    EXPECT_TRUE(messages.empty());
}

TEST_F(Unattended, AUsersCommandEndsTheWaitForTheCamera) {
    SimulatedCameras cameras;
    cameras.plugIn();
    const std::string path = SimulatedCameras::path();
    cameras.unplug();
    start(startUpSettings(1, loopback::freePort(), path));
    ASSERT_EQ(dlg.unattendedState(), CTarnickDlg::Unattended::WaitingForCamera);
    dlg.OnCommand(ID_CAPTURE_START); // no camera: the designed message, and no more waiting
    EXPECT_EQ(messages, std::vector<QString>{"カメラに接続されていません"});
    EXPECT_EQ(dlg.unattendedState(), CTarnickDlg::Unattended::Off);
    EXPECT_EQ(dlg.trayTip(), "Tarnick") << "the tooltip still tells of a wait that ended";
    cameras.plugIn();
    pumpUntil([] { return false; }, 500);
    EXPECT_FALSE(dlg.IsCameraConnected());
}

TEST_F(Unattended, StartUpClientStartedBeforeItsServerShowsThePictureOnceItComes) {
    const int port = loopback::freePort();
    start(startUpSettings(2, port, "", "127.0.0.1"));
    EXPECT_FALSE(dlg.IsReceiving());
    EXPECT_TRUE(dlg.isVisible()) << "a client waits on screen";
    // The window keeps answering while the server is away.
    bool ticked = false;
    QTimer::singleShot(100, [&] { ticked = true; });
    EXPECT_TRUE(pumpUntil([&] { return ticked; }, 3000));
    pumpUntil([] { return false; }, 1500);
    EXPECT_FALSE(dlg.IsReceiving());

    PatternServer server(port, 320, 240);
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsReceiving(); }, 10000)) << "never connected";
    EXPECT_TRUE(framesAdvance(dlg));
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, 320);
    EXPECT_TRUE(messages.empty());
}

TEST_F(Unattended, ClientFollowsAServerThatComesBackAtAnotherSize) {
    const int port = loopback::freePort();
    auto server = std::make_unique<PatternServer>(port, 320, 240);
    ASSERT_TRUE(server->ok());
    start(startUpSettings(2, port, "", "127.0.0.1"));
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsReceiving(); }, 10000));
    ASSERT_TRUE(framesAdvance(dlg));
    const QSize smallWindow = dlg.size();

    server.reset();
    server = std::make_unique<PatternServer>(port, 640, 480);
    ASSERT_TRUE(server->ok());
    ASSERT_TRUE(pumpUntil([&] { return dlg.m_pFrameBuf->bmiHeader.biWidth == 640; }, 15000))
        << "the client kept the old size";
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biHeight, 480);
    EXPECT_TRUE(framesAdvance(dlg)) << "the new size's picture does not move";
    EXPECT_TRUE(pumpUntil([&] { return dlg.statusText().startsWith("W=640, H=480, Rate="); }));
    // What the user sees: the window grew to the new picture, and the picture moves.
    EXPECT_GT(dlg.size().width(), smallWindow.width());
    const QImage before = dlg.grab().toImage();
    uint32_t shown = 0, later = 0;
    ASSERT_TRUE(shownFrameNumber(dlg, &shown));
    ASSERT_TRUE(pumpUntil([&] { return shownFrameNumber(dlg, &later) && later != shown; }));
    pumpUntil([] { return false; }, 100);
    EXPECT_NE(dlg.grab().toImage(), before);
    EXPECT_TRUE(dlg.IsReceiving());
}

// The start-up client whose delivery could not start has nothing to show: it says it waits
// for the server and tries again, until the picture moves.
TEST_F(Unattended, StartUpClientWhoseDeliveryCannotStartWaitsAndTriesAgain) {
    const int port = loopback::freePort();
    PatternServer server(port, 320, 240);
    ASSERT_TRUE(server.ok());
    dlg.failReceiveStartsForTesting(2, -2);
    start(startUpSettings(2, port, "", "127.0.0.1"));
    ASSERT_TRUE(pumpUntil([&] { return dlg.trayTip().contains(text::kTipWaitingForServer); }))
        << dlg.trayTip().toStdString();
    EXPECT_TRUE(framesAdvance(dlg)) << "the client took a connection without delivery for one";
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    EXPECT_TRUE(dlg.m_stream.IsRunning());
    EXPECT_TRUE(messages.empty());
}

// Following the server's new size fails (no frame buffer for it, then no delivery): the
// client says it waits, connects again, and shows the new size once it can.
TEST_F(Unattended, ClientThatCannotFollowTheServersNewSizeWaitsAndTriesAgain) {
    const int port = loopback::freePort();
    auto server = std::make_unique<PatternServer>(port, 320, 240);
    ASSERT_TRUE(server->ok());
    start(startUpSettings(2, port, "", "127.0.0.1"));
    ASSERT_TRUE(pumpUntil([&] { return dlg.IsReceiving(); }, 10000));
    ASSERT_TRUE(framesAdvance(dlg));

    dlg.failReceiveStartsForTesting(1, -1);
    server.reset();
    server = std::make_unique<PatternServer>(port, 640, 480);
    ASSERT_TRUE(server->ok());
    ASSERT_TRUE(
        pumpUntil([&] { return dlg.trayTip().contains(text::kTipWaitingForServer); }, 15000))
        << dlg.trayTip().toStdString();
    dlg.failReceiveStartsForTesting(1, -2); // the next attempt fails too, the one after works
    ASSERT_TRUE(pumpUntil(
        [&] { return dlg.m_pFrameBuf && dlg.m_pFrameBuf->bmiHeader.biWidth == 640; }, 15000));
    EXPECT_TRUE(framesAdvance(dlg)) << "the new size's picture does not move";
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    EXPECT_TRUE(messages.empty());
}

// A server that accepts and then never says a word.
class SilentServer {
public:
    SilentServer() {
        listener_ = loopback::listen(&port_, 8);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0)
                    accepted_.push_back(::accept(listener_, nullptr, nullptr));
            }
        });
    }
    ~SilentServer() {
        stop_ = true;
        thread_.join();
        for (int fd : accepted_)
            ::close(fd);
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<int> accepted_;
    std::thread thread_;
};

TEST_F(Unattended, ConnectingToAServerThatNeverAnswersKeepsTheWindowAliveAndClosingEndsIt) {
    SilentServer silent;
    start(startUpSettings(0, silent.port(), "", "127.0.0.1"));
    // Everything below runs inside the window's own loops, as a user's clicks would: the
    // command, its dialog, and later the close button while the server keeps silent.
    int ticks = 0, ticksAtClose = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    std::chrono::steady_clock::time_point closedAt;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(50, [&] {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                dialog->accept();
        });
        QTimer::singleShot(1000, [&] {
            ticksAtClose = ticks;
            closedAt = std::chrono::steady_clock::now();
            dlg.close();
        });
        dlg.OnCommand(ID_SERVER_CONNECT);
    });
    ASSERT_TRUE(pumpUntil([&] { return ticksAtClose >= 0 && !dlg.isVisible(); }, 10000));
    const auto closing = std::chrono::steady_clock::now() - closedAt;
    // The window's loop went on while the connection waited (a frozen one runs no timer),
    // and the close ended the attempt well before its five seconds were up.
    EXPECT_GE(ticksAtClose, 10);
    EXPECT_LT(closing, std::chrono::seconds(3));
    EXPECT_FALSE(dlg.m_stream.IsOpen());
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

// Accepts the connect dialog about to open, with `port` in its port field.
void acceptConnectDialogWithPort(int port) {
    QTimer::singleShot(50, [port] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        const QList<QLineEdit*> edits = dialog->findChildren<QLineEdit*>();
        if (edits.size() == 2)
            edits[1]->setText(QString::number(port)); // host, then port
        dialog->accept();
    });
}

// The start-up client is still waiting on a server that never answers when the user connects
// to another: that attempt is cancelled, and the user's connection shows its picture and
// stays, whatever the cancelled attempt does later.
TEST_F(Unattended, AUsersConnectCancelsAHangingStartUpAttemptAndShowsThePicture) {
    SilentServer silent;
    const int port = loopback::freePort();
    PatternServer server(port, 320, 240);
    ASSERT_TRUE(server.ok());
    start(startUpSettings(2, silent.port(), "", "127.0.0.1"));
    pumpUntil([] { return false; }, 300);
    ASSERT_FALSE(dlg.IsReceiving());

    acceptConnectDialogWithPort(port);
    dlg.OnCommand(ID_SERVER_CONNECT);
    ASSERT_TRUE(dlg.IsReceiving()) << (messages.empty() ? "" : messages.front().toStdString());
    EXPECT_TRUE(framesAdvance(dlg));
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, 320);
    EXPECT_EQ(dlg.m_connectPort, port);
    // Longer than the cancelled attempt's own time-out: nothing of it comes back.
    pumpUntil([] { return false; }, 6000);
    EXPECT_TRUE(dlg.IsReceiving());
    EXPECT_TRUE(framesAdvance(dlg));
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
}

// A connect the user waited out on a server that never answered, and one to a server the
// user disconnected from while it was being cancelled: each next connect works.
TEST_F(Unattended, AConnectAfterAFailedOrCancelledOneShowsThePicture) {
    SilentServer silent;
    const int port = loopback::freePort();
    PatternServer server(port, 320, 240);
    ASSERT_TRUE(server.ok());
    start(startUpSettings(0, silent.port(), "", "127.0.0.1"));
    acceptConnectDialogWithPort(silent.port());
    dlg.OnCommand(ID_SERVER_CONNECT); // returns once the attempt has timed out
    EXPECT_EQ(messages, std::vector<QString>{"サーバーに接続できません"});
    EXPECT_FALSE(dlg.m_stream.IsOpen());

    acceptConnectDialogWithPort(port);
    dlg.OnCommand(ID_SERVER_CONNECT);
    ASSERT_TRUE(dlg.IsReceiving());
    EXPECT_TRUE(framesAdvance(dlg));
    dlg.OnCommand(ID_SERVER_DISCONNECT);
    EXPECT_FALSE(dlg.m_stream.IsOpen());

    // Again, after a disconnect: the same server, the same picture.
    acceptConnectDialogWithPort(port);
    dlg.OnCommand(ID_SERVER_CONNECT);
    ASSERT_TRUE(dlg.IsReceiving());
    EXPECT_TRUE(framesAdvance(dlg));
    EXPECT_EQ(messages.size(), 1u);
}

// The start-up client waits for a server that is not there; the user connects to another:
// the picture shows, and nothing says the program still waits.
TEST_F(Unattended, AUsersConnectEndsTheStartUpClientsWaitAndWhatTheTooltipSaysOfIt) {
    const int absent = loopback::freePort();
    const int port = loopback::freePort();
    PatternServer server(port, 320, 240);
    ASSERT_TRUE(server.ok());
    start(startUpSettings(2, absent, "", "127.0.0.1"));
    ASSERT_TRUE(pumpUntil([&] { return dlg.trayTip().contains(text::kTipWaitingForServer); }));

    acceptConnectDialogWithPort(port);
    dlg.OnCommand(ID_SERVER_CONNECT);
    ASSERT_TRUE(dlg.IsReceiving());
    EXPECT_TRUE(framesAdvance(dlg));
    EXPECT_EQ(dlg.trayTip(), "Tarnick") << dlg.trayTip().toStdString();
    pumpUntil([] { return false; }, 1000); // no attempt of the start-up client comes back
    EXPECT_EQ(dlg.m_connectPort, port);
    EXPECT_EQ(dlg.trayTip(), "Tarnick");
    EXPECT_TRUE(messages.empty());
}

} // namespace

// The live roles through the window's own commands, with real objects: the test-pattern
// camera, the capture server on loopback, and the client of a loopback server. Modal dialogs
// are answered as a user would, from inside their own loops.
#include "CommandTable.h"
#include "ConnectSetDlg.h"
#include "DevSelDlg.h"
#include "FrameBuffer.h"
#include "MessageBox.h"
#include "PictureView.h"
#include "TestSupport.h"
#include "loopback.h"
#include "stream_config.h"

#include <platform/com_ptr.h>
#include <platform/media/camera_interfaces.h>
#include <platform/media/media.h>
#include <platform/profile.h>
#include <platform/ui.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace {

using testsupport::pickFormat;
using testsupport::pumpUntil;
using testsupport::SettingsFile;

constexpr const char* kPattern = "ormidal:test-pattern";

// Answers the next modal dialog that opens: `answer` fills it and presses a button. Runs
// from a timer, so it acts inside the dialog's own loop as a user's input would.
template <typename Dialog> void answerNextDialog(std::function<void(Dialog&)> answer) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            answer(*dialog);
        }
    });
    timer->start();
}

void chooseDevice(const char* path) {
    answerNextDialog<QDialog>([path](QDialog& dialog) {
        auto& devices = static_cast<CDevSelDlg&>(dialog);
        for (int i = 0; i < devices.m_deviceCount; ++i)
            if (std::strcmp(devices.m_devices[i].szDevicePath, path) == 0)
                devices.m_combo->setCurrentIndex(i);
        dialog.accept();
    });
}

void fillConnection(const QString& host, int port, bool startAtLaunch) {
    answerNextDialog<QDialog>([=](QDialog& dialog) {
        auto& connect = static_cast<CConnectSetDlg&>(dialog);
        if (connect.m_editHost->isEnabled())
            connect.m_editHost->setText(host);
        connect.m_editPort->setText(QString::number(port));
        connect.m_checkAutoStart->setChecked(startAtLaunch);
        dialog.accept();
    });
}

bool itemEnabled(CTarnickDlg& dlg, UINT id) {
    for (QAction* top : dlg.menuBar()->actions()) {
        QMenu* menu = top->menu();
        dlg.OnInitMenuPopup(menu);
        for (QAction* action : menu->actions())
            if (!action->isSeparator() && action->data().toUInt() == id)
                return action->isEnabled();
    }
    return false;
}

class LiveTest : public testing::Test {
protected:
    void SetUp() override {
        setMessageBoxHandlerForTesting([this](const QString& text) { messages.push_back(text); });
        ASSERT_TRUE(dlg.Create());
    }
    void TearDown() override {
        dlg.EndDialog(IDOK);
        setMessageBoxHandlerForTesting(nullptr);
    }
    std::string fileValue(const char* section, const char* key) {
        char value[256];
        GetPrivateProfileStringA(section, key, "<missing>", value, sizeof(value),
                                 settings.path().c_str());
        return value;
    }
    void connectPattern() {
        chooseDevice(kPattern);
        dlg.OnCameraConnect();
        ASSERT_TRUE(dlg.IsCameraConnected());
    }
    bool framesShown(int width, int height) {
        const QString expected = QString("W=%1, H=%2, Rate=").arg(width).arg(height);
        return pumpUntil([&] { return dlg.statusText().startsWith(expected); }, 8000);
    }

    SettingsFile settings;
    CTarnickDlg dlg;
    std::vector<QString> messages;
};

TEST_F(LiveTest, CameraConnectsFromTheDeviceDialogCapturesAndIsReleased) {
    EXPECT_TRUE(itemEnabled(dlg, ID_CAMERA_CONNECT));
    EXPECT_FALSE(itemEnabled(dlg, ID_CAPTURE_START));
    connectPattern();
    EXPECT_TRUE(messages.empty());
    // The buffer has the camera's format and the settings name the device.
    const BITMAPINFOHEADER& camera = dlg.m_video.GetBitmapInfoPtr()->bmiHeader;
    ASSERT_NE(dlg.m_pFrameBuf, nullptr);
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, camera.biWidth);
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biHeight, camera.biHeight);
    EXPECT_EQ(dlg.m_dispWidth, camera.biWidth);
    EXPECT_EQ(fileValue("DEVICE", "DEVICE_PATH"), kPattern);
    EXPECT_EQ(fileValue("VIDEO", "WIDTH"), std::to_string(camera.biWidth));
    EXPECT_FALSE(itemEnabled(dlg, ID_CAMERA_CONNECT));
    EXPECT_FALSE(itemEnabled(dlg, ID_SERVER_CONNECT));

    // Frames flow only once capture starts.
    EXPECT_TRUE(itemEnabled(dlg, ID_CAPTURE_START));
    dlg.OnCommand(ID_CAPTURE_START);
    EXPECT_TRUE(dlg.IsCapturing());
    EXPECT_TRUE(framesShown(camera.biWidth, camera.biHeight));
    EXPECT_FALSE(itemEnabled(dlg, ID_CAMERA_RELEASE));
    EXPECT_FALSE(itemEnabled(dlg, ID_SETTING_STREAM_FORMAT));
    EXPECT_TRUE(itemEnabled(dlg, ID_SETTING_IMAGE_PROPERTY));

    // What is refused while capturing, each with its message.
    dlg.StartCapture();
    dlg.OnCameraConnect();
    dlg.ConnectServer();
    EXPECT_EQ(messages, (std::vector<QString>{"キャプチャ実行中です", "カメラに接続されています",
                                              "キャプチャ実行中です"}));

    dlg.OnCommand(ID_CAPTURE_STOP);
    EXPECT_FALSE(dlg.IsCapturing());
    dlg.OnCommand(ID_CAMERA_RELEASE);
    EXPECT_FALSE(dlg.IsCameraConnected());
    // The last picture stays and can still be fitted.
    EXPECT_NE(dlg.m_pFrameBuf, nullptr);
    EXPECT_TRUE(itemEnabled(dlg, ID_VIEW_FIT_WINDOW));
    // With nothing to do, stop and release do nothing and say nothing.
    messages.clear();
    dlg.OnCaptureStop();
    dlg.OnCameraRelease();
    EXPECT_TRUE(messages.empty());
}

TEST_F(LiveTest, AnEmptyDeviceRecordIsRefusedWithoutTouchingTheOpenCamera) {
    connectPattern();
    BITMAPINFO* buffer = dlg.m_pFrameBuf;
    tVideoDev empty{};
    EXPECT_EQ(dlg.ConnectCamera(empty), -1);
    EXPECT_TRUE(dlg.IsCameraConnected());
    EXPECT_EQ(dlg.m_pFrameBuf, buffer);
    EXPECT_STREQ(dlg.m_device.szDevicePath, kPattern);
}

TEST_F(LiveTest, CommandsThatNeedACameraSaySoWithoutOne) {
    dlg.StartCapture();
    dlg.StartServer();
    dlg.OnImageProperty();
    dlg.ChangeStreamFormat();
    dlg.OnServerStop();
    EXPECT_EQ(messages,
              (std::vector<QString>{"カメラに接続されていません", "カメラに接続されていません",
                                    "カメラに接続されていません", "カメラに接続されていません",
                                    "サーバーが開始されていません。"}));
    messages.clear();
    dlg.OnServerDisconnect(); // nothing to disconnect: no message either
    EXPECT_TRUE(messages.empty());
}

TEST_F(LiveTest, TheSavedDeviceInAnotherLetterCaseGetsTheSavedFormatBack) {
    std::strcpy(dlg.m_device.szDevicePath, kPattern);
    dlg.m_videoInf = tVideoInf{24, 640, 480, 400000};
    tVideoDev record{};
    std::strcpy(record.szDevicePath, "ORMIDAL:Test-Pattern");
    ASSERT_EQ(dlg.ConnectCamera(record), 0);
    tVideoInf current{};
    ASSERT_TRUE(dlg.m_video.GetVideoInf(current));
    EXPECT_EQ(current.nWidth, 640);
    EXPECT_EQ(current.nHeight, 480);
    EXPECT_EQ(current.llFrameInterval, 400000);
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, 640);

    // A saved format the camera refuses falls back to the camera's own, which is kept.
    dlg.m_video.Close();
    dlg.m_videoInf = tVideoInf{24, 50000, 3, 333333};
    ASSERT_EQ(dlg.ConnectCamera(record), 0);
    ASSERT_TRUE(dlg.m_video.GetVideoInf(current));
    EXPECT_EQ(dlg.m_videoInf.nWidth, current.nWidth);
    EXPECT_EQ(dlg.m_videoInf.nHeight, current.nHeight);
    EXPECT_NE(current.nWidth, 50000);
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, current.nWidth);
}

TEST_F(LiveTest, AnotherDeviceKeepsTheFormatItOpensWith) {
    std::strcpy(dlg.m_device.szDevicePath, "/dev/some-other-camera");
    dlg.m_videoInf = tVideoInf{24, 1280, 720, 333333};
    tVideoDev record{};
    std::strcpy(record.szDevicePath, kPattern);
    ASSERT_EQ(dlg.ConnectCamera(record), 0);
    tVideoInf current{};
    ASSERT_TRUE(dlg.m_video.GetVideoInf(current));
    EXPECT_NE(current.nWidth, 1280);
    EXPECT_EQ(dlg.m_videoInf.nWidth, current.nWidth);
    EXPECT_STREQ(dlg.m_device.szDevicePath, kPattern);
}

TEST_F(LiveTest, ServerRateComesFromTheFrameInterval) {
    EXPECT_EQ(CTarnickDlg::ServerFrameRate(666667), 15);
    EXPECT_EQ(CTarnickDlg::ServerFrameRate(333333), 30);
    EXPECT_EQ(CTarnickDlg::ServerFrameRate(400000), 25);
    EXPECT_EQ(CTarnickDlg::ServerFrameRate(0), 30); // no interval: a common rate
    EXPECT_EQ(CTarnickDlg::ServerFrameRate(-5), 30);
}

void countFrame(unsigned char*, void* counter) {
    static_cast<std::atomic<int>*>(counter)->fetch_add(1);
}

TEST_F(LiveTest, TheCaptureServerServesTheCameraAndStops) {
    connectPattern();
    dlg.OnCommand(ID_CAPTURE_START);
    EXPECT_TRUE(itemEnabled(dlg, ID_CAPTURE_SERVER_START));
    const int port = loopback::freePort();
    dlg.m_autoStart = 2;
    dlg.m_connectHost = "elsewhere";
    fillConnection("", port, /*startAtLaunch=*/true);
    dlg.OnCommand(ID_CAPTURE_SERVER_START);
    ASSERT_TRUE(dlg.IsServing()) << (messages.empty() ? "" : messages.back().toStdString());
    EXPECT_EQ(dlg.m_autoStart, 1);
    EXPECT_EQ(dlg.m_connectHost, CString("localhost"));
    EXPECT_EQ(dlg.m_connectPort, port);
    EXPECT_EQ(fileValue("NETWORK", "CONNECT_PORT"), std::to_string(port));
    EXPECT_EQ(fileValue("CONFIG", "AUTO_START"), "1");
    EXPECT_FALSE(itemEnabled(dlg, ID_CAPTURE_STOP));
    EXPECT_FALSE(itemEnabled(dlg, ID_CAMERA_RELEASE));
    EXPECT_TRUE(itemEnabled(dlg, ID_CAPTURE_SERVER_STOP));

    // A viewer on this machine receives the camera's frames at the camera's size.
    CTavrel viewer;
    ASSERT_EQ(viewer.OpenClient("127.0.0.1", port), 0);
    BITMAPINFOHEADER header{};
    viewer.GetBitmapInfoHdr(&header);
    EXPECT_EQ(header.biWidth, dlg.m_pFrameBuf->bmiHeader.biWidth);
    EXPECT_EQ(header.biHeight, dlg.m_pFrameBuf->bmiHeader.biHeight);
    std::atomic<int> received{0};
    ASSERT_EQ(viewer.Run(countFrame, &received), 0);
    EXPECT_TRUE(pumpUntil([&] { return received.load() >= 5; }, 8000));
    viewer.Stop();
    viewer.Close();

    dlg.OnCommand(ID_CAPTURE_SERVER_STOP);
    EXPECT_FALSE(dlg.IsServing());
    EXPECT_TRUE(dlg.IsCapturing()); // the camera goes on
    messages.clear();
    dlg.OnServerStop();
    EXPECT_EQ(messages, std::vector<QString>{"サーバーが開始されていません。"});
}

TEST_F(LiveTest, AServerThatCannotOpenSaysSoAndKeepsCapturing) {
    connectPattern();
    dlg.OnCommand(ID_CAPTURE_START);
    int port = 0;
    const int busy = loopback::listen(&port); // the port is taken
    ASSERT_GE(busy, 0);
    fillConnection("", port, false);
    dlg.StartServer();
    ::close(busy);
    EXPECT_EQ(messages, std::vector<QString>{"サーバーの準備ができません"});
    EXPECT_FALSE(dlg.IsServing());
    EXPECT_TRUE(dlg.IsCapturing());
}

TEST_F(LiveTest, StartingTheServerNeedsCapture) {
    connectPattern();
    dlg.StartServer();
    EXPECT_EQ(messages, std::vector<QString>{"キャプチャが実行されていません"});
}

// A loopback capture server fed by a thread with 320 x 240 frames of one grey level.
class FeedingServer {
public:
    explicit FeedingServer(int port) {
        ok_ = server_.OpenServer(port, 320, 240, 30) == 0;
        feeder_ = std::thread([this] {
            std::vector<unsigned char> frame(320 * 240 * 3, 0x60);
            while (!stop_) {
                server_.AddFrame(frame.data(), 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~FeedingServer() {
        stop_ = true;
        feeder_.join();
        server_.Close();
    }
    bool ok() const { return ok_; }

private:
    CTavrel server_;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
    bool ok_ = false;
};

TEST_F(LiveTest, TheClientConnectsFromTheDialogShowsFramesAndDisconnects) {
    const int port = loopback::freePort();
    FeedingServer server(port);
    ASSERT_TRUE(server.ok());
    dlg.m_connectHost = "";
    dlg.m_autoStart = 1;
    fillConnection("127.0.0.1", port, /*startAtLaunch=*/false);
    dlg.OnCommand(ID_SERVER_CONNECT);
    ASSERT_TRUE(dlg.IsReceiving()) << (messages.empty() ? "" : messages.back().toStdString());
    EXPECT_EQ(dlg.m_autoStart, 1); // unticking leaves the server's start-up mode
    EXPECT_EQ(dlg.m_connectHost, CString("127.0.0.1"));
    EXPECT_EQ(fileValue("NETWORK", "CONNECT_HOST"), "127.0.0.1");
    // The buffer has the announced format, and the picture is fitted to it.
    ASSERT_NE(dlg.m_pFrameBuf, nullptr);
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, 320);
    EXPECT_EQ(dlg.m_dispWidth, 320);
    EXPECT_EQ(dlg.m_dispHeight, 240);
    EXPECT_TRUE(framesShown(320, 240));
    // What the window paints (its picture control's grab, inside the frame line).
    const QImage painted = dlg.m_picture->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(painted.pixel(dlg.m_edgeX + 10, dlg.m_edgeY + 10) & 0xFFFFFF, 0x606060u);
    EXPECT_TRUE(itemEnabled(dlg, ID_SERVER_DISCONNECT));
    EXPECT_FALSE(itemEnabled(dlg, ID_SERVER_CONNECT));
    EXPECT_FALSE(itemEnabled(dlg, ID_CAMERA_CONNECT));

    dlg.OnCommand(ID_SERVER_DISCONNECT);
    EXPECT_FALSE(dlg.IsReceiving());
    EXPECT_NE(dlg.m_pFrameBuf, nullptr); // the last picture stays
    EXPECT_TRUE(itemEnabled(dlg, ID_SERVER_CONNECT));
}

TEST_F(LiveTest, TheHostMayBeTheUrlOfAnMjpegStream) {
    const int port = loopback::freePort();
    FeedingServer server(port);
    ASSERT_TRUE(server.ok());
    const QString url = QString("http://127.0.0.1:%1/stream").arg(port);
    fillConnection(url, 1, false); // the URL's own port wins over the port field
    dlg.ConnectServer();
    ASSERT_TRUE(dlg.IsReceiving()) << (messages.empty() ? "" : messages.back().toStdString());
    EXPECT_TRUE(framesShown(320, 240));
    EXPECT_EQ(dlg.m_connectHost, CString(url.toUtf8().constData()));
    dlg.OnServerDisconnect();
}

TEST_F(LiveTest, AFailedConnectionSaysSoAndKeepsOnlyTheStartUpChoice) {
    const int port = loopback::freePort(); // nobody listens
    dlg.m_autoStart = 2;
    dlg.m_connectHost = "";
    fillConnection("127.0.0.1", port, /*startAtLaunch=*/false);
    dlg.ConnectServer();
    EXPECT_EQ(messages, std::vector<QString>{"サーバーに接続できません"});
    EXPECT_EQ(dlg.m_autoStart, 0);                      // unticked: the client mode is cleared
    EXPECT_EQ(dlg.m_connectHost, CString("localhost")); // defaulted before the dialog
    EXPECT_NE(dlg.m_connectPort, port);                 // only a connection takes the port
    EXPECT_FALSE(dlg.IsReceiving());
}

void ignoreFrame(unsigned char*, void*) {}

TEST_F(LiveTest, WhenDeliveryCannotStartTheConnectionStaysForTheDisconnectCommand) {
    const int port = loopback::freePort();
    FeedingServer server(port);
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(dlg.m_stream.OpenClient("127.0.0.1", port), 0);
    // Delivery already runs elsewhere, so the window's own Run is refused.
    ASSERT_EQ(dlg.m_stream.Run(ignoreFrame, nullptr), 0);
    EXPECT_EQ(dlg.StartReceive(), -2);
    EXPECT_TRUE(dlg.IsReceiving());
    EXPECT_TRUE(itemEnabled(dlg, ID_SERVER_DISCONNECT));
    EXPECT_FALSE(itemEnabled(dlg, ID_SERVER_CONNECT));
    dlg.OnServerDisconnect();
    EXPECT_FALSE(dlg.IsReceiving());
}

// Stands in for the user at the property frame: records what was asked and acts on the
// object as the page would.
class ScriptedFrame {
public:
    explicit ScriptedFrame(std::function<void(IUnknown*)> act) {
        previous_ =
            platform::setPropertyFrameHost([this, act](const platform::PropertyFrameRequest& r) {
                owners.push_back(r.owner);
                captions.push_back(r.caption ? std::u16string(r.caption) : u"<none>");
                if (act && !r.objects.empty())
                    act(r.objects[0]);
                return S_OK;
            });
    }
    ~ScriptedFrame() { platform::setPropertyFrameHost(previous_); }
    std::vector<HWND> owners;
    std::vector<std::u16string> captions;

private:
    platform::PropertyFrameHost previous_;
};

TEST_F(LiveTest, TheStreamFormatCommandStopsCaptureAppliesTheChosenSizeAndSavesIt) {
    connectPattern();
    dlg.OnCommand(ID_CAPTURE_START);
    ASSERT_TRUE(dlg.IsCapturing());
    ScriptedFrame frame([](IUnknown* pin) { ASSERT_EQ(pickFormat(pin, 320, 240), S_OK); });
    dlg.OnStreamFormat();
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(frame.captions.size(), 1u);
    EXPECT_EQ(frame.captions[0], u"ストリーム形式設定");
    EXPECT_EQ(frame.owners[0], dlg.windowHandle());
    EXPECT_FALSE(dlg.IsCapturing()); // not restarted
    EXPECT_TRUE(dlg.IsCameraConnected());
    EXPECT_EQ(dlg.m_videoInf.nWidth, 320);
    EXPECT_EQ(dlg.m_videoInf.nHeight, 240);
    ASSERT_NE(dlg.m_pFrameBuf, nullptr);
    EXPECT_EQ(dlg.m_pFrameBuf->bmiHeader.biWidth, 320);
    EXPECT_EQ(dlg.m_dispWidth, 320);
    EXPECT_EQ(fileValue("VIDEO", "WIDTH"), "320");
    // Capture in the new format draws at its size.
    dlg.OnCommand(ID_CAPTURE_START);
    EXPECT_TRUE(framesShown(320, 240));
}

TEST_F(LiveTest, TheImagePropertyCommandOpensTheCamerasPagesOverTheWindow) {
    connectPattern();
    dlg.OnCommand(ID_CAPTURE_START);
    ScriptedFrame frame(nullptr);
    EXPECT_TRUE(itemEnabled(dlg, ID_SETTING_IMAGE_PROPERTY)); // also while capturing
    dlg.OnCommand(ID_SETTING_IMAGE_PROPERTY);
    ASSERT_EQ(frame.captions.size(), 1u);
    EXPECT_EQ(frame.captions[0], u"画像プロパティ設定");
    EXPECT_EQ(frame.owners[0], dlg.windowHandle());
    EXPECT_TRUE(dlg.IsCapturing()); // the pages leave the capture running
    EXPECT_TRUE(messages.empty());
}

TEST(FrameBuffer, SizesFollowTheHeader) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = 640;
    header.biHeight = 480;
    header.biBitCount = 24;
    BITMAPINFO* block = AllocFrameBuffer(&header);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(CVideo::GetBmpImageDataPos(block), 40);
    std::free(block);

    // 8 bits: 1024 colour bytes copied from behind the header.
    std::vector<unsigned char> withColours(40 + 1024);
    header.biWidth = 320;
    header.biHeight = 240;
    header.biBitCount = 8;
    std::memcpy(withColours.data(), &header, 40);
    for (int i = 0; i < 1024; ++i)
        withColours[40 + i] = static_cast<unsigned char>(i * 7);
    block = AllocFrameBuffer(reinterpret_cast<BITMAPINFOHEADER*>(withColours.data()));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(
        std::memcmp(reinterpret_cast<unsigned char*>(block) + 40, withColours.data() + 40, 1024),
        0);
    std::free(block);

    EXPECT_EQ(AllocFrameBuffer(nullptr), nullptr);
    header.biBitCount = 24;
    header.biHeight = 0;
    EXPECT_EQ(AllocFrameBuffer(&header), nullptr);
    header.biHeight = 240;
    header.biWidth = 0x7FFFFFFF; // rows that do not fit 32 bits
    EXPECT_EQ(AllocFrameBuffer(&header), nullptr);
}

} // namespace

// Command routing: the update pass over real menus, enable rules, start-up toggles, tray.
#include "CommandTable.h"
#include "TestSupport.h"
#include "loopback.h"

#include <platform/profile.h>

#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::makeFrameBuffer;
using testsupport::SettingsFile;

QAction* findItem(QMenu* menu, UINT id) {
    for (QAction* action : menu->actions()) {
        if (action->menu())
            if (QAction* inner = findItem(action->menu(), id))
                return inner;
        if (!action->isSeparator() && action->data().toUInt() == id)
            return action;
    }
    return nullptr;
}

QMenu* popup(CTarnickDlg& dlg, int index) {
    return dlg.menuBar()->actions().at(index)->menu();
}

// Opens a pop-up as the user would: the update pass runs before it shows.
QMenu* open(CTarnickDlg& dlg, int index) {
    QMenu* menu = popup(dlg, index);
    dlg.OnInitMenuPopup(menu);
    return menu;
}

class MenuTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dlg.Create()); }
    void TearDown() override {
        tray::overrideAvailabilityForTesting(-1);
        dlg.EndDialog(IDOK);
    }
    std::string autoStartInFile() {
        char value[32];
        GetPrivateProfileStringA("CONFIG", "AUTO_START", "<missing>", value, sizeof(value),
                                 settings.path().c_str());
        return value;
    }

    SettingsFile settings;
    CTarnickDlg dlg;
};

TEST_F(MenuTest, MenuBarHasTheFourPopupsInOrder) {
    const QList<QAction*> top = dlg.menuBar()->actions();
    ASSERT_EQ(top.size(), 4);
    EXPECT_EQ(top[0]->text(), "ファイル(&F)");
    EXPECT_EQ(top[1]->text(), "キャプチャ(&C)");
    EXPECT_EQ(top[2]->text(), "表示(&V)");
    EXPECT_EQ(top[3]->text(), "設定(&S)");
    // File: two groups and exit, separated.
    const QList<QAction*> file = popup(dlg, 0)->actions();
    ASSERT_EQ(file.size(), 7);
    EXPECT_TRUE(file[2]->isSeparator());
    EXPECT_TRUE(file[5]->isSeparator());
    EXPECT_EQ(file[6]->data().toUInt(), UINT(ID_APP_EXIT));
}

TEST_F(MenuTest, FileMenuFollowsItsRulesWithNothingOpen) {
    QMenu* file = open(dlg, 0);
    EXPECT_TRUE(findItem(file, ID_CAMERA_CONNECT)->isEnabled());
    EXPECT_FALSE(findItem(file, ID_CAMERA_RELEASE)->isEnabled());
    EXPECT_TRUE(findItem(file, ID_SERVER_CONNECT)->isEnabled());
    EXPECT_FALSE(findItem(file, ID_SERVER_DISCONNECT)->isEnabled());
    EXPECT_TRUE(findItem(file, ID_APP_EXIT)->isEnabled());
}

TEST_F(MenuTest, UpdateHandlersFollowTheStatesWithNothingOpen) {
    QAction action(nullptr);
    auto enabledBy = [&](void (CTarnickDlg::*update)(CCmdUI*)) {
        action.setEnabled(!action.isEnabled());
        CCmdUI ui(&action, 0);
        (dlg.*update)(&ui);
        return action.isEnabled();
    };
    EXPECT_TRUE(enabledBy(&CTarnickDlg::OnUpdateCameraConnect));
    EXPECT_FALSE(enabledBy(&CTarnickDlg::OnUpdateCameraRelease));
    EXPECT_TRUE(enabledBy(&CTarnickDlg::OnUpdateServerConnect));
    EXPECT_FALSE(enabledBy(&CTarnickDlg::OnUpdateServerDisconnect));
    EXPECT_FALSE(enabledBy(&CTarnickDlg::OnUpdateCaptureStart));
    EXPECT_FALSE(enabledBy(&CTarnickDlg::OnUpdateCaptureStop));
    EXPECT_FALSE(enabledBy(&CTarnickDlg::OnUpdateServerStart));
    EXPECT_FALSE(enabledBy(&CTarnickDlg::OnUpdateServerStop));
    EXPECT_FALSE(enabledBy(&CTarnickDlg::OnUpdateImageProperty));
    EXPECT_TRUE(enabledBy(&CTarnickDlg::OnUpdateAppExit));
    EXPECT_TRUE(enabledBy(&CTarnickDlg::OnUpdateToTray));
}

// A real server on loopback, fed frames until it is dropped.
class LoopbackServer {
public:
    LoopbackServer() {
        for (port_ = 20000 + getpid() % 20000; port_ < 65000; port_ += 97)
            if (server_.OpenServer(port_, 64, 48, 30) == 0)
                break;
        feeder_ = std::thread([this] {
            std::vector<unsigned char> frame(64 * 3 * 48, 0x55);
            while (!stop_) {
                server_.AddFrame(frame.data(), 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~LoopbackServer() {
        stop_ = true;
        feeder_.join();
        server_.Close();
    }
    int port() const { return port_; }
    CTavrel& transport() { return server_; }

private:
    CTavrel server_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread feeder_;
};

bool enabledBy(CTarnickDlg& dlg, void (CTarnickDlg::*update)(CCmdUI*)) {
    QAction action(nullptr);
    action.setEnabled(false);
    CCmdUI ui(&action, 0);
    (dlg.*update)(&ui);
    return action.isEnabled();
}

TEST_F(MenuTest, ReceivingKeepsTheCameraAwayAndOffersDisconnect) {
    LoopbackServer server;
    ASSERT_EQ(dlg.m_stream.OpenClient("127.0.0.1", server.port()), 0);
    EXPECT_TRUE(dlg.IsReceiving());
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateCameraConnect));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerConnect));
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerDisconnect));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerStop));
    dlg.m_stream.Close();
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerConnect));
}

TEST_F(MenuTest, ServingWithoutACameraEnablesNoServerCommand) {
    ASSERT_EQ(dlg.m_stream.OpenServer(0, 64, 48, 30) == 0, false); // port 0 is refused
    LoopbackServer other;
    int port = other.port() + 1;
    while (dlg.m_stream.OpenServer(port, 64, 48, 30) != 0)
        ++port;
    EXPECT_TRUE(dlg.IsServing());
    EXPECT_FALSE(dlg.IsReceiving());
    // Stopping the server needs the camera it serves.
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerStop));
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateCameraConnect));
}

TEST_F(MenuTest, CameraStatesDriveTheCaptureAndServerCommands) {
    // The built-in test-pattern camera, always listed, stands for a connected camera.
    ASSERT_EQ(dlg.m_video.Open(OPEN_DEVICE, "ormidal:test-pattern", -1), 0);
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateCameraConnect));
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateCameraRelease));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerConnect));
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateCaptureStart));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateCaptureStop));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerStart));
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateImageProperty));

    ASSERT_EQ(dlg.m_video.CaptureStart(nullptr, nullptr), 0);
    EXPECT_TRUE(dlg.IsCapturing());
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateCameraRelease));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateCaptureStart)); // and the stream format
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateCaptureStop));
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerStart));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerStop));

    const BITMAPINFOHEADER& frame = dlg.m_video.GetBitmapInfoPtr()->bmiHeader;
    const int port = loopback::freePort();
    ASSERT_EQ(dlg.m_stream.OpenServer(port, frame.biWidth, frame.biHeight, 15), 0);
    EXPECT_TRUE(dlg.IsServing());
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateCaptureStop));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerStart));
    EXPECT_TRUE(enabledBy(dlg, &CTarnickDlg::OnUpdateServerStop));
    EXPECT_FALSE(enabledBy(dlg, &CTarnickDlg::OnUpdateCameraRelease));

    // Exiting closes the running camera and the server as the window goes.
    dlg.OnAppExit();
    EXPECT_EQ(dlg.m_video.GetOpenMode(), OPEN_CLOSED);
    EXPECT_FALSE(dlg.m_stream.IsOpen());
}

TEST_F(MenuTest, CaptureStartAndStreamFormatMoveTogether) {
    EXPECT_EQ(findCommand(ID_CAPTURE_START)->update, findCommand(ID_SETTING_STREAM_FORMAT)->update);
    QMenu* capture = open(dlg, 1);
    QMenu* setting = open(dlg, 3);
    EXPECT_EQ(findItem(capture, ID_CAPTURE_START)->isEnabled(),
              findItem(setting, ID_SETTING_STREAM_FORMAT)->isEnabled());
}

TEST_F(MenuTest, FitNeedsAFrameBufferAndKeepsIt) {
    EXPECT_FALSE(findItem(open(dlg, 2), ID_VIEW_FIT_WINDOW)->isEnabled());
    dlg.m_pFrameBuf = makeFrameBuffer(320, 240);
    EXPECT_TRUE(findItem(open(dlg, 2), ID_VIEW_FIT_WINDOW)->isEnabled());
    findItem(popup(dlg, 2), ID_VIEW_FIT_WINDOW)->trigger();
    EXPECT_EQ(dlg.m_dispWidth, 320);
}

TEST_F(MenuTest, StartUpModesToggleAsAPairAndAreSaved) {
    dlg.OnAutoStartServer();
    EXPECT_EQ(dlg.m_autoStart, 1);
    EXPECT_EQ(autoStartInFile(), "1");
    dlg.OnAutoStartClient();
    EXPECT_EQ(dlg.m_autoStart, 2);
    dlg.OnAutoStartClient();
    EXPECT_EQ(dlg.m_autoStart, 0);
    dlg.OnAutoStartServer();
    dlg.OnAutoStartServer(); // choosing the ticked item turns every mode off
    EXPECT_EQ(dlg.m_autoStart, 0);
    EXPECT_EQ(autoStartInFile(), "0");

    dlg.m_connectPort = 0;
    dlg.m_autoStart = 2;
    dlg.OnAutoStartServer(); // no usable port: off, whatever it was
    EXPECT_EQ(dlg.m_autoStart, 0);
}

TEST_F(MenuTest, OpeningSettingsClearsAnUnusableStartUpMode) {
    dlg.m_connectPort = -5;
    dlg.m_autoStart = 1;
    QMenu* setting = open(dlg, 3);
    EXPECT_EQ(dlg.m_autoStart, 0);
    EXPECT_EQ(autoStartInFile(), "0");
    EXPECT_FALSE(findItem(setting, ID_SETTING_AUTOSTART_SERVER)->isChecked());
    EXPECT_FALSE(findItem(setting, ID_SETTING_AUTOSTART_CLIENT)->isChecked());

    // An empty host clears the client mode, and through the client item the server mode too.
    dlg.m_connectPort = 7373;
    dlg.m_connectHost = "";
    dlg.m_autoStart = 1;
    open(dlg, 3);
    EXPECT_EQ(dlg.m_autoStart, 0);

    dlg.m_connectHost = "localhost";
    dlg.m_autoStart = 2;
    setting = open(dlg, 3);
    EXPECT_TRUE(findItem(setting, ID_SETTING_AUTOSTART_CLIENT)->isChecked());
    EXPECT_FALSE(findItem(setting, ID_SETTING_AUTOSTART_SERVER)->isChecked());
}

TEST_F(MenuTest, ExitCommandsEndTheWindow) {
    findItem(open(dlg, 0), ID_APP_EXIT)->trigger();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), IDOK);
}

TEST_F(MenuTest, TrayIconIsAddedOnceAndRestoresTheWindow) {
    tray::overrideAvailabilityForTesting(1);
    const int before = tray::iconCount();
    dlg.OnToTray();
    EXPECT_TRUE(dlg.m_inTray);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_STREQ(dlg.m_nid.szTip, "Tarnick");
    EXPECT_EQ(dlg.m_nid.uCallbackMessage, UINT(WM_TRAYNOTIFY));
    dlg.AddTrayIcon();
    EXPECT_EQ(tray::iconCount(), before + 1);

    // Left and double clicks leave the window hidden.
    tray::simulateMouse(dlg.windowHandle(), 0, WM_LBUTTONDOWN);
    tray::simulateMouse(dlg.windowHandle(), 0, WM_LBUTTONDBLCLK);
    EXPECT_FALSE(dlg.isVisible());

    dlg.OnRestoreWindow();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.m_inTray);
    EXPECT_EQ(tray::iconCount(), before);
}

TEST_F(MenuTest, WithoutATrayTheWindowIsMinimisedNotLost) {
    tray::overrideAvailabilityForTesting(0);
    dlg.OnToTray();
    EXPECT_FALSE(dlg.m_inTray);
    EXPECT_TRUE(dlg.isMinimized());
    dlg.OnRestoreWindow();
    EXPECT_FALSE(dlg.isMinimized());
}

TEST_F(MenuTest, TrayMenuRepeatsTheWindowsCommandsInOrder) {
    std::unique_ptr<QMenu> tray(dlg.buildTrayMenu());
    const QList<QAction*> items = tray->actions();
    ASSERT_EQ(items.size(), 7);
    EXPECT_EQ(items[0]->data().toUInt(), UINT(ID_TRAY_SHOW_WINDOW));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->menu()->title(), "ファイル(&F)");
    EXPECT_EQ(items[3]->menu()->title(), "キャプチャ(&C)");
    EXPECT_EQ(items[4]->menu()->title(), "設定(&S)");
    EXPECT_EQ(items[4]->menu()->actions().size(), 2);
    EXPECT_TRUE(items[5]->isSeparator());
    EXPECT_EQ(items[6]->data().toUInt(), UINT(ID_TRAY_EXIT));
    // A pop-up is never greyed, even when its first command is (capture start needs a
    // camera): its items take their own states when it opens.
    items[3]->setEnabled(false);
    dlg.OnInitMenuPopup(tray.get());
    EXPECT_TRUE(items[2]->isEnabled());
    EXPECT_TRUE(items[3]->isEnabled());
    EXPECT_TRUE(items[4]->isEnabled());
    dlg.OnInitMenuPopup(items[3]->menu());
    EXPECT_FALSE(findItem(items[3]->menu(), ID_CAPTURE_START)->isEnabled());
}

// Opens the tray menu and the sub-menu holding `id` as a user would, and tells whether `id`
// can be chosen there.
bool reachableFromTheTray(CTarnickDlg& dlg, UINT id) {
    std::unique_ptr<QMenu> tray(dlg.buildTrayMenu());
    dlg.OnInitMenuPopup(tray.get());
    for (QAction* item : tray->actions()) {
        QMenu* sub = item->menu();
        if (!sub || !findItem(sub, id))
            continue;
        if (!item->isEnabled())
            return false;
        dlg.OnInitMenuPopup(sub);
        return findItem(sub, id)->isEnabled();
    }
    return false;
}

TEST_F(MenuTest, WhileServingTheTrayReachesServerStopAndWhileReceivingDisconnect) {
    ASSERT_EQ(dlg.m_video.Open(OPEN_DEVICE, "ormidal:test-pattern", -1), 0);
    ASSERT_EQ(dlg.m_video.CaptureStart(nullptr, nullptr), 0);
    const BITMAPINFOHEADER& frame = dlg.m_video.GetBitmapInfoPtr()->bmiHeader;
    ASSERT_EQ(dlg.m_stream.OpenServer(loopback::freePort(), frame.biWidth, frame.biHeight, 15), 0);
    // The first items of both pop-ups (camera connect, capture start) are disabled now.
    EXPECT_TRUE(reachableFromTheTray(dlg, ID_CAPTURE_SERVER_STOP));
    EXPECT_TRUE(reachableFromTheTray(dlg, ID_APP_EXIT));
    EXPECT_FALSE(reachableFromTheTray(dlg, ID_CAPTURE_START));
    dlg.m_stream.Close();
    dlg.m_video.Close();

    LoopbackServer server;
    ASSERT_EQ(dlg.m_stream.OpenClient("127.0.0.1", server.port()), 0);
    EXPECT_TRUE(reachableFromTheTray(dlg, ID_SERVER_DISCONNECT));
    EXPECT_FALSE(reachableFromTheTray(dlg, ID_CAMERA_CONNECT));
}

} // namespace

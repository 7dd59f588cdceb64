// The command table and the two menus built from it.
#include "CommandTable.h"

#include "TarnickDlg.h"
#include "resource.h"

#include <iterator>

namespace {

using D = CTarnickDlg;

// Every command with its handler and the update handler that enables or checks its items.
const CommandEntry kCommands[] = {
    {ID_CAMERA_CONNECT, "ID_CAMERA_CONNECT", "カメラに接続(&O)...", &D::OnCameraConnect,
     &D::OnUpdateCameraConnect},
    {ID_CAMERA_RELEASE, "ID_CAMERA_RELEASE", "カメラを開放(&R)", &D::OnCameraRelease,
     &D::OnUpdateCameraRelease},
    {ID_SERVER_CONNECT, "ID_SERVER_CONNECT", "サーバーに接続(&C)...", &D::OnServerConnect,
     &D::OnUpdateServerConnect},
    {ID_SERVER_DISCONNECT, "ID_SERVER_DISCONNECT", "サーバーから切断(&D)...",
     &D::OnServerDisconnect, &D::OnUpdateServerDisconnect},
    {ID_APP_EXIT, "ID_APP_EXIT", "終了(&X)", &D::OnAppExit, &D::OnUpdateAppExit},
    {ID_CAPTURE_START, "ID_CAPTURE_START", "キャプチャ開始(&S)", &D::OnCaptureStart,
     &D::OnUpdateCaptureStart},
    {ID_CAPTURE_STOP, "ID_CAPTURE_STOP", "キャプチャ終了(&E)", &D::OnCaptureStop,
     &D::OnUpdateCaptureStop},
    {ID_CAPTURE_SERVER_START, "ID_CAPTURE_SERVER_START", "キャプチャサーバー開始(&P) ...",
     &D::OnServerStart, &D::OnUpdateServerStart},
    {ID_CAPTURE_SERVER_STOP, "ID_CAPTURE_SERVER_STOP", "キャプチャサーバー終了", &D::OnServerStop,
     &D::OnUpdateServerStop},
    {ID_VIEW_TO_TRAY, "ID_VIEW_TO_TRAY", "タスクトレイに入れる(&T)", &D::OnToTray,
     &D::OnUpdateToTray},
    {ID_VIEW_FIT_WINDOW, "ID_VIEW_FIT_WINDOW", "ウィンドウを画像に合わせる(&F)", &D::OnFitWindow,
     &D::OnUpdateFitWindow},
    {ID_SETTING_IMAGE_PROPERTY, "ID_SETTING_IMAGE_PROPERTY", "画像プロパティ(&P) ...",
     &D::OnImageProperty, &D::OnUpdateImageProperty},
    // The stream-format item is enabled exactly when capture can start.
    {ID_SETTING_STREAM_FORMAT, "ID_SETTING_STREAM_FORMAT", "ストリーム形式(&S) ...",
     &D::OnStreamFormat, &D::OnUpdateCaptureStart},
    {ID_SETTING_AUTOSTART_SERVER, "ID_SETTING_AUTOSTART_SERVER", "起動時にサーバーを開始",
     &D::OnAutoStartServer, &D::OnUpdateAutoStartServer},
    {ID_SETTING_AUTOSTART_CLIENT, "ID_SETTING_AUTOSTART_CLIENT", "起動時にクライアントを開始",
     &D::OnAutoStartClient, &D::OnUpdateAutoStartClient},
    {ID_TRAY_SHOW_WINDOW, "ID_TRAY_SHOW_WINDOW", "ウィンドウを表示(&S)", &D::OnRestoreWindow,
     &D::OnUpdateRestoreWindow},
    {ID_TRAY_EXIT, "ID_TRAY_EXIT", "終了(&X)", &D::OnAppExit, &D::OnUpdateAppExit},
};

const MenuItem kFileItems[] = {{ID_CAMERA_CONNECT}, {ID_CAMERA_RELEASE},    {0},
                               {ID_SERVER_CONNECT}, {ID_SERVER_DISCONNECT}, {0},
                               {ID_APP_EXIT}};
const MenuItem kCaptureItems[] = {{ID_CAPTURE_START},
                                  {ID_CAPTURE_STOP},
                                  {0},
                                  {ID_CAPTURE_SERVER_START},
                                  {ID_CAPTURE_SERVER_STOP}};
const MenuItem kViewItems[] = {{ID_VIEW_TO_TRAY}, {ID_VIEW_FIT_WINDOW}};
const MenuItem kSettingItems[] = {{ID_SETTING_IMAGE_PROPERTY},
                                  {ID_SETTING_STREAM_FORMAT},
                                  {0},
                                  {ID_SETTING_AUTOSTART_SERVER},
                                  {ID_SETTING_AUTOSTART_CLIENT}};
const MenuItem kTraySettingItems[] = {{ID_SETTING_IMAGE_PROPERTY}, {ID_SETTING_STREAM_FORMAT}};

const MenuLayout kTraySubMenus[] = {
    {"ファイル(&F)", kFileItems, std::size(kFileItems)},
    {"キャプチャ(&C)", kCaptureItems, std::size(kCaptureItems)},
    {"設定(&S)", kTraySettingItems, std::size(kTraySettingItems)},
};
const MenuItem kTrayItems[] = {{ID_TRAY_SHOW_WINDOW}, {0}, {0, 0}, {0, 1}, {0, 2}, {0},
                               {ID_TRAY_EXIT}};

} // namespace

const MenuLayout kMainMenu[4] = {
    {"ファイル(&F)", kFileItems, std::size(kFileItems)},
    {"キャプチャ(&C)", kCaptureItems, std::size(kCaptureItems)},
    {"表示(&V)", kViewItems, std::size(kViewItems)},
    {"設定(&S)", kSettingItems, std::size(kSettingItems)},
};

const MenuLayout kTrayMenu = {"", kTrayItems, std::size(kTrayItems), kTraySubMenus};

const CommandEntry* findCommand(UINT id) {
    for (const CommandEntry& entry : kCommands)
        if (entry.id == id)
            return &entry;
    return nullptr;
}

// Resource ids and the program's fixed texts (Japanese, as the user sees them).
#pragma once

// Dialog templates, menus and the icon.
#define IDD_ABOUTBOX 100
#define IDD_TARNICK_DIALOG 102
#define IDD_DEVSEL_DIALOG 130
#define IDD_CONNECTSET_DIALOG 131
#define IDR_MAINFRAME 128
#define IDR_MENU_MAIN 132
#define IDR_MENU_TRAY 133

// Strings.
#define IDS_ABOUTBOX 101
#define IDP_SOCKETS_INIT_FAILED 103

// Controls.
#define IDOK 1
#define IDCANCEL 2
#define IDC_EDIT_HOST 1000
#define IDC_EDIT_PORT 1001
#define IDC_STATIC_HOST 1002
#define IDC_STATIC_PORT 1003
#define IDC_CHECK_AUTOSTART 1004
#define IDC_EDIT_STATUS 1001
#define IDC_STATIC_PICTURE 1002
#define IDC_STATIC_LABEL 1003
#define IDC_COMBO_DEVICE 5000

// Commands.
#define IDM_ABOUTBOX 0x0010
#define ID_CAPTURE_START 32773
#define ID_CAPTURE_SERVER_START 32776
#define ID_CAPTURE_STOP 32777
#define ID_SETTING_IMAGE_PROPERTY 32781
#define ID_SETTING_STREAM_FORMAT 32782
#define ID_CAPTURE_SERVER_STOP 32785
#define ID_SERVER_CONNECT 32787
#define ID_SERVER_DISCONNECT 32789
#define ID_CAMERA_RELEASE 32791
#define ID_CAMERA_CONNECT 32793
#define ID_TRAY_EXIT 32797
#define ID_TRAY_SHOW_WINDOW 32798
#define ID_SETTING_AUTOSTART_SERVER 32803
#define ID_SETTING_AUTOSTART_CLIENT 32805
#define ID_VIEW_TO_TRAY 32807
#define ID_VIEW_FIT_WINDOW 32809
#define ID_APP_EXIT 57665

// System commands and window messages the program meets.
#define SC_CLOSE 0xF060
#define WM_USER 0x0400
#define WM_TRAYNOTIFY (WM_USER + 100)
#define WM_RBUTTONDOWN 0x0204
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONDBLCLK 0x0203

namespace text {
inline constexpr const char* kAppName = "Tarnick";
inline constexpr const char* kSocketsInitFailed = "Windows ソケットの初期化に失敗しました。";
inline constexpr const char* kAboutMenu = "バージョン情報 Tarnick(&A)...";
inline constexpr const char* kAboutCaption = "バージョン情報 Tarnick";
inline constexpr const char* kAboutVersion = "Ormidal Version 1.0";
inline constexpr const char* kStatusLabel = "Status:";
inline constexpr const char* kOk = "OK";
inline constexpr const char* kCancel = "キャンセル";
inline constexpr const char* kCloseMenu = "閉じる(&C)";

inline constexpr const char* kMenuFile = "ファイル(&F)";
inline constexpr const char* kMenuCapture = "キャプチャ(&C)";
inline constexpr const char* kMenuView = "表示(&V)";
inline constexpr const char* kMenuSetting = "設定(&S)";

inline constexpr const char* kConnectCaption = "接続設定";
inline constexpr const char* kConnectHost = "接続ホスト：";
inline constexpr const char* kConnectPort = "接続ポート：";
inline constexpr const char* kConnectAutoStart = "起動時に開始する";
inline constexpr const char* kPortRange = "ポート番号は 1～65535 の間の値です";

inline constexpr const char* kDevSelCaption = "キャプチャ・デバイス選択";
inline constexpr const char* kDevSelDevice = "デバイス：";
inline constexpr const char* kNoDeviceSelected = "ビデオデバイスが選択されていません";

// What the program waits for when left alone: the status line and the tray icon's tooltip
// (after the program's name).
inline constexpr const char* kCameraLostStatus = "カメラが切断されました。再接続を待っています";
inline constexpr const char* kTipWaitingForCamera = "カメラを待っています";
inline constexpr const char* kTipCameraLost = "カメラの再接続を待っています";
inline constexpr const char* kTipWaitingForPort =
    "ポート %1 で待ち受けできません。再試行しています";
inline constexpr const char* kTipWaitingForServer = "サーバーを待っています";
} // namespace text

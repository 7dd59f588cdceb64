// CTarnickDlg: the program's main window — picture, status line, menus, tray and settings.
#pragma once

#include "CommandUI.h"
#include "TrayShell.h"
#include "publish/Publisher.h"

#include <lumora/Video.h>
#include <tavrel/Tavrel.h>

#include <QDialog>
#include <QIcon>
#include <QImage>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class ClientConnector;
class QEventLoop;
class QLabel;
class QTimer;
class QLineEdit;
class QMenu;
class QMenuBar;
class FrameSignal;
class PictureView;
struct CommandEntry;

class CTarnickDlg : public QDialog {
public:
    explicit CTarnickDlg(QWidget* parent = nullptr);
    ~CTarnickDlg() override;

    // Runs the window modally; returns the code the window ended with (IDOK, IDCANCEL).
    int DoModal();
    // Shows the window and runs its start-up, without entering a modal loop (tests).
    BOOL Create();
    void EndDialog(int result);

    // Start-up and teardown, in their fixed orders.
    BOOL OnInitDialog();
    void OnDestroy();

    // Display. DrawFrame runs on whichever thread delivers the frame; the others run on
    // the window thread.
    void DrawFrame(const unsigned char* bits);
    void FitWindowToFrame();
    void LayoutControls();

    // Settings file.
    CString GetSettingsFilePath();
    void LoadNetworkSettings();
    void LoadAutoStart();
    void LoadDeviceSettings();
    void LoadVideoSettings();
    void SaveNetworkSettings();
    void SaveAutoStart();
    void SaveDeviceSettings();
    void SaveVideoSettings();

    // Camera side: connection, capture, the capture server, settings pages and format.
    static constexpr const char* kLoopbackHost = "localhost";
    int ConnectCamera(const tVideoDev& device);
    void StartCapture();
    void StartServer();
    int ApplyStreamFormat(const tVideoInf& format);
    void ChangeStreamFormat();
    void OnCameraConnect();
    void OnCameraRelease();
    void OnCaptureStart();
    void OnCaptureStop();
    void OnServerStart();
    void OnServerStop();
    void OnImageProperty();
    void OnStreamFormat();
    // The whole frames per second announced for a frame interval (100 ns units).
    static int ServerFrameRate(LONGLONG frameInterval);

    // Client side.
    int StartReceive();
    // Makes the next `count` StartReceive calls fail with `result` (-1: no frame buffer could
    // be had, -2: delivery could not start), as a machine short of memory or threads would.
    void failReceiveStartsForTesting(int count, int result);
    void ConnectServer();
    void OnServerConnect();
    void OnServerDisconnect();

    // Commands and their update handlers.
    void OnAppExit();
    void OnFitWindow();
    void OnAutoStartServer();
    void OnAutoStartClient();
    void OnSysCommand(UINT id);
    void OnUpdateCameraConnect(CCmdUI* cmdUI);
    void OnUpdateCameraRelease(CCmdUI* cmdUI);
    void OnUpdateServerConnect(CCmdUI* cmdUI);
    void OnUpdateServerDisconnect(CCmdUI* cmdUI);
    void OnUpdateAppExit(CCmdUI* cmdUI);
    void OnUpdateCaptureStart(CCmdUI* cmdUI);
    void OnUpdateCaptureStop(CCmdUI* cmdUI);
    void OnUpdateServerStart(CCmdUI* cmdUI);
    void OnUpdateServerStop(CCmdUI* cmdUI);
    void OnUpdateToTray(CCmdUI* cmdUI);
    void OnUpdateFitWindow(CCmdUI* cmdUI);
    void OnUpdateImageProperty(CCmdUI* cmdUI);
    void OnUpdateAutoStartServer(CCmdUI* cmdUI);
    void OnUpdateAutoStartClient(CCmdUI* cmdUI);
    void OnUpdateRestoreWindow(CCmdUI* cmdUI);
    // Runs the update handlers of a menu about to open.
    void OnInitMenuPopup(QMenu* popup);
    // Runs the command of a menu item.
    void OnCommand(UINT id);

    // Tray.
    void AddTrayIcon();
    void OnToTray();
    void OnRestoreWindow();
    long OnTrayNotify(UINT id, UINT mouseMessage);

    // Left alone, the program keeps working (window thread): the start-up server waits for
    // its camera and its port, the start-up client for its server, a camera that goes away
    // while capturing is opened again when it returns, and a server that comes back at
    // another size is followed. Each wait is told in the tray's tooltip and, one line per
    // change, on standard error.
    enum class Unattended { Off, WaitingForCamera, WaitingForServer, Watching, CameraLost };
    Unattended unattendedState() const { return m_unattended; }
    // How many times a capturing camera was found gone.
    int cameraLosses() const { return m_cameraLosses; }
    // What the tray icon's tooltip says now.
    QString trayTip() const;
    // Stops every unattended attempt (a user's command takes over).
    void StopUnattended();
    // Window thread: follows the server's new picture size (posted by the transport's thread).
    void FollowServerFormat();
    // Replaces the pause lengths of the unattended waits (tests): the first retry, the
    // longest one, and how long a capturing camera may stay silent before it is looked for.
    void setUnattendedTiming(int firstRetryMs, int lastRetryMs, int silentCameraMs);

    // Conditions the menus are enabled by.
    bool IsCameraConnected() { return m_video.GetOpenMode() == OPEN_DEVICE; }
    bool IsCapturing() { return m_video.IsRunning() != 0; }
    bool IsServing() { return m_stream.IsOpen() && m_stream.GetMode() == 2; }
    bool IsReceiving() { return m_stream.IsOpen() && m_stream.GetMode() == 1; }

    // The menus, for tests and the tray.
    QMenuBar* menuBar() const { return m_menuBar; }
    QMenu* buildTrayMenu();
    // Replaces GetTickCount for the status rate (tests).
    void setTickSource(std::function<DWORD()> tick) { m_tick = std::move(tick); }
    QString statusText() const;
    // Frames DrawFrame refused because their header asked for more than the buffer holds.
    long refusedFrames() const { return m_refusedFrames.load(std::memory_order_relaxed); }
    // Frames converted into the back buffer for the screen, on the frame thread or when a
    // paint catches up, and paints of the picture. Neither moves while nobody can see the
    // window (hidden in the tray, minimised, or on a platform without a screen).
    long screenFrames() const { return m_screenFrames.load(std::memory_order_relaxed); }
    long picturePaints() const { return m_picturePaints.load(std::memory_order_relaxed); }
    // Window thread: whether anyone can see the picture now.
    bool pictureSeen() const { return m_pictureSeen.load(std::memory_order_relaxed); }
    // The window's handle for the platform (tray, property frames): its QWidget*.
    HWND windowHandle() { return reinterpret_cast<HWND>(static_cast<QWidget*>(this)); }

    // Members, in the window's own order.
    QIcon m_hIcon;
    NOTIFYICONDATAA m_nid;
    CVideo m_video;
    CTavrel m_stream;
    tVideoDev m_device;
    tVideoInf m_videoInf;
    CString m_connectHost;
    int m_connectPort;
    BITMAPINFO* m_pFrameBuf;
    int m_dispWidth, m_dispHeight;
    // The back buffer the picture is drawn into and painted from; m_backLock keeps the
    // frame thread's drawing and the window thread's painting and resizing apart. Fitting
    // releases it; the first frame converted afterwards makes it at the new size.
    QImage m_backBuffer;
    std::mutex m_backLock;
    int m_edgeX, m_edgeY;
    DWORD m_lastTick;
    int m_frameCount;
    BOOL m_initialized;
    BOOL m_inTray;
    int m_autoStart;
    // [CONFIG] START_SHOWN=1: the start-up server stays on the screen, not in the tray.
    bool m_startShown = false;
    // Optional server settings beyond the ten keys (NETWORK section), read but never written:
    // an access key viewers must give, and the one address to listen on.
    CString m_accessKey;
    CString m_listenAddress;
    // Publishing beside serving (PUBLISH section, read but never written): while the capture
    // server is open, the camera also goes as H.264 to this RTMP(S) server
    // (TarnickDlgPublish.cpp).
    PublishSettings m_publishSettings;
    Publisher m_publisher;
    // The server's own page plays the WebRTC output (WEBRTC section, read but never written):
    // Janus's address for the browser (empty: port 8088 of the page's host) and the mountpoint
    // (0 while WebRTC is off). TarnickDlgSettings.cpp.
    CString m_janusUrl;
    int m_webRtcMountpoint = 0;
    QLabel* m_label;
    QLineEdit* m_status;
    PictureView* m_picture;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void done(int result) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;
    void accept() override {} // Enter does nothing
    void reject() override {} // Escape does nothing

private:
    friend class PictureView;
    friend void FrameCallback(unsigned char* frame, void* context);
    // Shows a message box over the window, captioned with the program's name.
    void MessageBox(const char* message);
    int OpenCaptureServer(int port);
    void StartServerAtLaunch();
    void StartClientAtLaunch();
    // Unattended work (TarnickDlgRecovery.cpp), window thread.
    void setUpUnattended();
    void onUnattendedTick();
    void tryStartUpServer();
    void watchCamera();
    void tryReopenCamera();
    bool serverTakesCamera();
    void tryStartUpClient();
    void onStartUpClientOpened(int result);
    void waitForServerAgain();
    void scheduleRetry(int& pauseMs);
    bool deviceIsListed();
    void announce(const std::string& key, const std::string& logLine, const QString& tip);
    void setTrayTip(const QString& tip);
    // Publishing (TarnickDlgPublish.cpp), window thread: started once the capture server
    // opens, stopped before it closes; the tooltip follows its state.
    void LoadPublishSettings();
    void LoadWebRtcViewerSettings();
    void StartPublishing();
    void StopPublishing();
    void followPublishing();
    QString withPublishingTip(const QString& tip) const;
    // Opens the client as OpenClient does, while the window keeps painting; -1 when the
    // window was closed meanwhile.
    int OpenClientResponsive(const char* host, int port);
    void buildControls();
    void buildMenuBar();
    QMenu* buildMenu(const struct MenuLayout& layout, QWidget* parent, bool runOnTrigger = true);
    void runUpdate(QAction* action, UINT id, bool disableIfNoHandler);
    void onFrameSignal();
    void followVisibility();
    // Window thread, under m_backLock: converts the frame an unseen window kept, if any.
    void catchUpPicture();
    void stretchIntoBackBuffer(const BYTE* bits, const BITMAPINFOHEADER& header);
    void resizeOuter(int width, int height);
    QSize outerSize() const;
    QWidget* client() const { return m_client; }

    QMenuBar* m_menuBar = nullptr;
    QWidget* m_client = nullptr;
    FrameSignal* m_frameSignal = nullptr;
    std::function<DWORD()> m_tick;
    // The status text is formatted on the frame thread and shown by the window thread.
    mutable std::mutex m_statusLock;
    char m_statusText[96] = {};
    bool m_statusPending = false;
    // The scaling path's intermediate picture, sized once per frame format.
    QImage m_scratch;
    std::atomic<long> m_refusedFrames{0};
    std::atomic<long> m_screenFrames{0};
    std::atomic<long> m_picturePaints{0};
    // Written by the window thread as the window is shown, hidden, minimised or restored;
    // read by the frame thread to choose between converting a frame and only keeping it.
    std::atomic<bool> m_pictureSeen{false};
    // The frame buffer holds a frame newer than the back buffer (under m_backLock).
    bool m_pictureStale = false;
    bool m_destroyed = false;
    int m_result = 0;
    // The loop DoModal runs while the window lives; null outside it.
    QEventLoop* m_modalLoop = nullptr;

    // Unattended work.
    ClientConnector* m_connector = nullptr;
    QTimer* m_unattendedTimer = nullptr;
    Unattended m_unattended = Unattended::Off;
    bool m_clientRetrying = false;
    int m_firstRetryMs = 250;
    int m_lastRetryMs = 2000;
    int m_silentCameraMs = 1000;
    int m_serverRetryMs = 0;
    int m_clientRetryMs = 0;
    std::int64_t m_nextAttemptMs = 0;
    std::int64_t m_nextClientAttemptMs = 0;
    std::int64_t m_captureSeenMs = 0;
    // When the camera's last frame arrived (steady milliseconds; written on its thread).
    std::atomic<std::int64_t> m_lastCameraFrameMs{0};
    bool m_wasCapturing = false;
    int m_cameraLosses = 0;
    // A server closed for a camera that came back at another size: it opens again at the new
    // size once the camera captures.
    bool m_serveAfterCamera = false;
    int m_failReceiveStarts = 0;
    int m_failReceiveStartsWith = 0;
    std::string m_lastAnnounced;
    QString m_trayTip;
    // The tooltip as the unattended work last set it, before publishing's state is added.
    QString m_trayTipBase;
    Publisher::State m_shownPublishState = Publisher::State::Off;
    // An ending asked for while a connection was being opened: carried out once it ends.
    int m_pendingEnd = 0;
    bool m_endPending = false;
};

// Every frame, from the camera or the network, comes through here (any thread): it is handed
// to the server when one is open, then drawn. The context is the window.
void FrameCallback(unsigned char* frame, void* context);

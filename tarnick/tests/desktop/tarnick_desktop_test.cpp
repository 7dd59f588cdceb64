// The program on a real X desktop with a notification area (run by testing/desktop-session):
// the window runs in its own loop, goes into the tray, and the tray icon is right-clicked and
// its menu driven through the X server, as a user's mouse and keyboard would.
#include "AboutDlg.h"
#include "CommandTable.h"
#include "ConnectSetDlg.h"
#include "DevSelDlg.h"
#include "TestSupport.h"
#include "TrayShell.h"
#include "loopback.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::pumpUntil;
using testsupport::SettingsFile;

// Runs an X client tool and waits for it (bounded); the X server queues what it sends, so
// the program sees the input when its loop next runs.
bool runTool(const QString& tool, const QStringList& args, QString* output = nullptr) {
    QProcess process;
    process.start(tool, args);
    if (!process.waitForFinished(10000))
        return false;
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The middle of the window's tray icon on the screen, once the tray has embedded it.
bool trayIconCentre(HWND window, QPoint& centre) {
    QSystemTrayIcon* icon = tray::iconFor(window, 0);
    if (!icon || !icon->isVisible())
        return false;
    const QRect area = icon->geometry();
    if (!area.isValid() || area.isEmpty())
        return false;
    centre = area.center();
    return true;
}

bool rightClickTrayIcon(HWND window) {
    QPoint centre;
    return trayIconCentre(window, centre) &&
           runTool("xdotool", {"mousemove", QString::number(centre.x()),
                               QString::number(centre.y()), "click", "3"});
}

bool pressKeys(const QStringList& keys) {
    QStringList args{"key", "--delay", "50"};
    args += keys;
    return runTool("xdotool", args);
}

QMenu* openPopup() {
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

// Waits for the tray menu after a right click; clicks again now and then, as a user would
// when a fresh icon was not yet in its final place in the tray when first clicked.
std::function<bool()> trayMenuOpens(HWND window) {
    return [window, waited = 0]() mutable {
        if (openPopup())
            return true;
        if (++waited % 25 == 0)
            rightClickTrayIcon(window);
        return false;
    };
}

// The window's title as the X server holds it (_NET_WM_NAME, UTF-8).
QString captionOf(QWidget& widget) {
    QString output;
    runTool("xprop", {"-id", QString::number(widget.winId()), "-notype", "_NET_WM_NAME"}, &output);
    const int first = output.indexOf('"');
    const int last = output.lastIndexOf('"');
    return first >= 0 && last > first ? output.mid(first + 1, last - first - 1) : QString();
}

// A user's actions, one after another, each when the screen shows what it waits for. The
// steps run from timers, so they also run inside the window's loop and inside the tray
// menu's own loop, exactly where a user's input would be handled.
class UserScript {
public:
    struct Step {
        std::string name;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    UserScript(CTarnickDlg& window, std::vector<Step> steps)
        : m_window(window), m_steps(std::move(steps)) {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start(20);
    }

    // The names of the steps carried out, in order.
    const std::vector<std::string>& done() const { return m_done; }
    bool finished() const { return m_next == m_steps.size(); }

private:
    void tick() {
        if (m_next < m_steps.size() && m_steps[m_next].ready()) {
            Step& step = m_steps[m_next++];
            m_done.push_back(step.name);
            if (step.act)
                step.act();
        }
        // A bound, not a timing check: a broken program must not hang the suite.
        if (m_clock.elapsed() > 30000 && !m_gaveUp) {
            m_gaveUp = true;
            if (QMenu* menu = openPopup())
                menu->close();
            m_window.EndDialog(IDCANCEL);
        }
    }

    CTarnickDlg& m_window;
    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    std::vector<std::string> m_done;
    QTimer m_timer;
    QElapsedTimer m_clock;
    bool m_gaveUp = false;
};

QAction* menuBarItem(CTarnickDlg& dlg, UINT id) {
    for (QAction* top : dlg.menuBar()->actions())
        for (QAction* action : top->menu()->actions())
            if (!action->isSeparator() && action->data().toUInt() == id)
                return action;
    return nullptr;
}

class DesktopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pumpUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000))
            << "no notification area on this desktop";
    }
    SettingsFile settings;
};

TEST_F(DesktopTest, HidingIntoTheTrayKeepsTheProgramUntilTheTrayMenuEndsIt) {
    CTarnickDlg dlg;
    int ticksHidden = 0;
    UserScript script(dlg, {
                               {"choose to-tray in the menu bar", [&] { return dlg.isVisible(); },
                                [&] { menuBarItem(dlg, ID_VIEW_TO_TRAY)->trigger(); }},
                               {"hidden with an icon in the tray",
                                [&] {
                                    QPoint centre;
                                    return !dlg.isVisible() &&
                                           trayIconCentre(dlg.windowHandle(), centre);
                                },
                                [&] {
                                    // Resizing and repainting while hidden must neither show nor
                                    // end it.
                                    dlg.resize(dlg.width() + 40, dlg.height() + 40);
                                    dlg.update();
                                }},
                               {"still hidden after resizing",
                                [&] { return ++ticksHidden > 15 && !dlg.isVisible(); },
                                [&] { ASSERT_TRUE(rightClickTrayIcon(dlg.windowHandle())); }},
                               {"tray menu open", trayMenuOpens(dlg.windowHandle()),
                                [] {
                                    ASSERT_TRUE(pressKeys({"Up", "Return"}));
                                }}, // the last item: 終了(&X)
                           });
    const int result = dlg.DoModal();
    EXPECT_EQ(script.done().size(), 4u) << "the window's loop ended after step "
                                        << (script.done().empty() ? "none" : script.done().back());
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(dlg.m_inTray);
    QCoreApplication::processEvents();
    EXPECT_EQ(tray::iconFor(dlg.windowHandle(), 0), nullptr);
}

TEST_F(DesktopTest, TrayMenuShowsTheWindowAgainAndOpensAgainAfterEscape) {
    CTarnickDlg dlg;
    int ticks = 0;
    UserScript script(
        dlg, {
                 {"choose to-tray", [&] { return dlg.isVisible(); },
                  [&] { dlg.OnCommand(ID_VIEW_TO_TRAY); }},
                 {"icon shown",
                  [&] {
                      QPoint centre;
                      return !dlg.isVisible() && trayIconCentre(dlg.windowHandle(), centre);
                  },
                  [&] { ASSERT_TRUE(rightClickTrayIcon(dlg.windowHandle())); }},
                 {"menu open", trayMenuOpens(dlg.windowHandle()),
                  [] { ASSERT_TRUE(pressKeys({"Escape"})); }},
                 {"menu closed", [] { return openPopup() == nullptr; }, {}},
                 {"a moment later", [&] { return ++ticks > 15; },
                  [&] { ASSERT_TRUE(rightClickTrayIcon(dlg.windowHandle())); }},
                 {"menu open again", trayMenuOpens(dlg.windowHandle()),
                  [] {
                      ASSERT_TRUE(pressKeys({"Down", "Return"}));
                  }}, // ウィンドウを表示(&S)
                 {"window back, icon gone",
                  [&] { return dlg.isVisible() && !dlg.m_inTray && tray::iconCount() == 0; },
                  [&] { menuBarItem(dlg, ID_APP_EXIT)->trigger(); }},
             });
    const int result = dlg.DoModal();
    EXPECT_TRUE(script.finished())
        << "stopped after: " << (script.done().empty() ? "none" : script.done().back());
    EXPECT_EQ(result, IDOK);
}

TEST_F(DesktopTest, WindowsCarryTheirOwnCaptionsExactly) {
    CTarnickDlg main;
    ASSERT_TRUE(main.Create());
    CConnectSetDlg connect(&main);
    CDevSelDlg devices(&main);
    CAboutDlg about(&main);
    const std::vector<std::pair<QWidget*, QString>> expected{
        {&main, "Tarnick"},
        {&connect, "接続設定"},
        {&devices, "キャプチャ・デバイス選択"},
        {&about, "バージョン情報 Tarnick"},
    };
    for (const auto& [window, caption] : expected) {
        window->show();
        ASSERT_TRUE(
            pumpUntil([&] { return window->isVisible() && window->windowHandle()->isExposed(); }));
        QString seen;
        pumpUntil([&] { return (seen = captionOf(*window)) == caption; }, 3000);
        EXPECT_EQ(seen, caption);
        if (window != &main)
            window->hide();
    }
    main.EndDialog(IDOK);
}

// Clicks the middle of a menu's item through the X server, as the mouse would.
bool clickMenuItem(QMenu* menu, QAction* action) {
    const QPoint centre = menu->mapToGlobal(menu->actionGeometry(action).center());
    return runTool("xdotool", {"mousemove", QString::number(centre.x()),
                               QString::number(centre.y()), "click", "1"});
}

QAction* itemOf(QMenu* menu, UINT id) {
    for (QAction* action : menu->actions())
        if (!action->isSeparator() && !action->menu() && action->data().toUInt() == id)
            return action;
    return nullptr;
}

TEST_F(DesktopTest, AStartUpServerInTheTrayIsStoppedFromTheTrayMenu) {
    int port = 0;
    ::close(loopback::listen(&port)); // a port nobody holds now
    std::ofstream(settings.path())
        << "[NETWORK]\nCONNECT_PORT=" << port
        << "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n";
    CTarnickDlg dlg;
    bool captureEnabled = false, stopEnabled = false;
    UserScript script(
        dlg, {
                 {"serving from the tray",
                  [&] {
                      QPoint centre;
                      return dlg.IsServing() && !dlg.isVisible() &&
                             trayIconCentre(dlg.windowHandle(), centre);
                  },
                  [&] { ASSERT_TRUE(rightClickTrayIcon(dlg.windowHandle())); }},
                 {"tray menu open", trayMenuOpens(dlg.windowHandle()),
                  [&] {
                      // Its first item (capture start) is disabled while serving; the pop-up is
                      // not.
                      QMenu* menu = openPopup();
                      QAction* capture = nullptr;
                      for (QAction* action : menu->actions())
                          if (action->menu() && action->menu()->title() == "キャプチャ(&C)")
                              capture = action;
                      ASSERT_NE(capture, nullptr);
                      captureEnabled = capture->isEnabled();
                      ASSERT_TRUE(clickMenuItem(menu, capture));
                  }},
                 {"capture sub-menu open",
                  [&] {
                      QMenu* menu = openPopup();
                      return menu && menu->title() == "キャプチャ(&C)" && menu->isVisible();
                  },
                  [&] {
                      QMenu* menu = openPopup();
                      QAction* stop = itemOf(menu, ID_CAPTURE_SERVER_STOP);
                      ASSERT_NE(stop, nullptr);
                      stopEnabled = stop->isEnabled();
                      ASSERT_TRUE(clickMenuItem(menu, stop));
                  }},
                 {"server stopped", [&] { return !dlg.IsServing() && openPopup() == nullptr; },
                  [&] { dlg.OnCommand(ID_TRAY_EXIT); }},
             });
    const int result = dlg.DoModal();
    EXPECT_TRUE(script.finished())
        << "stopped after: " << (script.done().empty() ? "none" : script.done().back());
    EXPECT_TRUE(captureEnabled);
    EXPECT_TRUE(stopEnabled);
    EXPECT_EQ(result, IDOK);
}

} // namespace

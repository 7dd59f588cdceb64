// The whole program in this process, as main runs it: InitInstance runs the window in its own
// loop until it ends. An ending signal that arrives while a dialog or a message box is open
// closes it and ends the program through its teardown.
#include "ConnectSetDlg.h"
#include "TarnickApp.h"
#include "TestSupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <unistd.h>

namespace {

using testsupport::SettingsFile;

CTarnickDlg* mainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* dlg = dynamic_cast<CTarnickDlg*>(widget); dlg && dlg->isVisible())
            return dlg;
    return nullptr;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the program; once its window shows, `open` opens something modal from a menu command,
// and once `isOpen` sees it on screen the process is sent SIGTERM. Bounded: a program that
// does not end is ended by the test.
struct SignalledRun {
    std::function<void(CTarnickDlg&)> open;
    std::function<bool(QWidget*)> isOpen;
    bool opened = false;
    bool signalled = false;
    bool forced = false;

    BOOL run() {
        QTimer poll;
        int ticks = 0, signalledAt = 0;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            ++ticks;
            CTarnickDlg* dlg = mainWindow();
            if ((signalled && ticks - signalledAt > 250) || ticks > 1000) {
                // The bound (5 s after the signal, 20 s in all): what is still open is closed
                // by the test, and the run counts as not ended by the signal. Checked first:
                // the window may already be hidden while a dialog still runs its own loop.
                forced = true;
                if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                    modal->reject();
                if (dlg)
                    dlg->EndDialog(IDCANCEL);
                return;
            }
            if (!dlg)
                return;
            if (!opened) {
                opened = true;
                // The command opens its dialog in a loop of its own; the poll goes on there.
                QTimer::singleShot(0, [this, dlg] { open(*dlg); });
            } else if (!signalled && isOpen(QApplication::activeModalWidget())) {
                signalled = true;
                signalledAt = ticks;
                ::kill(::getpid(), SIGTERM);
            }
        });
        poll.start(20);
        CTarnickApp app;
        return app.InitInstance();
    }
};

TEST(ProgramRun, AnEndingSignalWhileADialogIsOpenClosesItAndEndsThroughTheTeardown) {
    SettingsFile settings;
    SignalledRun run;
    run.open = [](CTarnickDlg& dlg) { dlg.OnCommand(ID_SERVER_CONNECT); };
    run.isOpen = [](QWidget* modal) { return dynamic_cast<CConnectSetDlg*>(modal) != nullptr; };
    EXPECT_FALSE(run.run());
    EXPECT_TRUE(run.signalled) << "the connection dialog never opened";
    EXPECT_FALSE(run.forced) << "the signal did not end the program";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(mainWindow(), nullptr);
    // The teardown saved the settings (the file did not exist before).
    const std::string saved = readAll(settings.path());
    EXPECT_NE(saved.find("CONNECT_PORT=7373"), std::string::npos) << saved;
    EXPECT_NE(saved.find("AUTO_START=0"), std::string::npos) << saved;
}

TEST(ProgramRun, AnEndingSignalWhileAMessageBoxIsOpenClosesItAndEndsThroughTheTeardown) {
    SettingsFile settings;
    SignalledRun run;
    // Capture without a camera: the program says so in a message box.
    run.open = [](CTarnickDlg& dlg) { dlg.OnCommand(ID_CAPTURE_START); };
    run.isOpen = [](QWidget* modal) { return qobject_cast<QMessageBox*>(modal) != nullptr; };
    EXPECT_FALSE(run.run());
    EXPECT_TRUE(run.signalled) << "the message box never opened";
    EXPECT_FALSE(run.forced) << "the signal did not end the program";
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(mainWindow(), nullptr);
    EXPECT_NE(readAll(settings.path()).find("CONNECT_PORT=7373"), std::string::npos);
}

} // namespace

// tarnick: the desktop program.
#include "TarnickApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("tarnick");
    QApplication::setApplicationDisplayName("Tarnick");
    QApplication::setDesktopFileName("tarnick");
    // The program lives in its window and its tray icon: hiding the window into the tray
    // must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    CTarnickApp theApp;
    theApp.InitInstance();
    return 0;
}

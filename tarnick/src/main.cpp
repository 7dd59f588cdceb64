// tarnick: the desktop program.
#include "EndingSignals.h"
#include "TarnickApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    // First of all, so an ending signal that comes during start-up still ends the program
    // through its teardown once the window runs.
    EndingSignals::installHandlers();
    QApplication app(argc, argv);
    CTarnickApp::ConfigureApplication();
    CTarnickApp theApp;
    theApp.InitInstance();
    return 0;
}

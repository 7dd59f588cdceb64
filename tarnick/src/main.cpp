// tarnick: the desktop program.
#include "CommandLine.h"
#include "EndingSignals.h"
#include "SettingsLocation.h"
#include "TarnickApp.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    // First of all, so an ending signal that comes during start-up still ends the program
    // through its teardown once the window runs.
    EndingSignals::installHandlers();
    // The program's own options before the QApplication: --help and --version need no
    // display, and an unknown option is refused before a window could open.
    CommandLine options;
    if (const int ended = handleCommandLine(argc, argv, options); ended >= 0)
        return ended;
    if (!options.settingsFile.empty()) {
        // A settings file named on purpose that cannot be read would silently become the
        // defaults (and another camera's port): refuse to start instead.
        if (const std::string problem = settingslocation::readProblem(options.settingsFile);
            !problem.empty()) {
            std::fprintf(stderr, "tarnick: cannot read the settings file \"%s\": %s\n",
                         options.settingsFile.c_str(), problem.c_str());
            return 1;
        }
        settingslocation::choose(options.settingsFile);
    }
    QApplication app(argc, argv);
    CTarnickApp::ConfigureApplication();
    CTarnickApp theApp;
    theApp.InitInstance();
    return 0;
}

// CTarnickApp: starts the platform and runs the main window for the life of the process.
#pragma once

#include <platform/wintypes.h>

class CTarnickApp {
public:
    // The application-wide settings of the program's QApplication (names, window life);
    // the program and its desktop tests set it up the same way.
    static void ConfigureApplication();
    // Checks that sockets work (message 103 otherwise), then runs the main window modally.
    // Returns FALSE: the process ends when the window does.
    BOOL InitInstance();
};

// Test main for the desktop tests: the program's own QApplication set-up on the X desktop that
// testing/desktop-session provides.
#include "TarnickApp.h"

#include <QApplication>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Waits (bounded) until a notification area owns the system-tray selection of the default
// screen. Qt remembers a desktop without a tray, so the tests start only once it is there.
bool waitForNotificationArea() {
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    bool owned = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!owned && std::chrono::steady_clock::now() < deadline) {
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, name.size(), name.c_str()), nullptr);
        if (atom) {
            xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
                connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
            owned = owner && owner->owner != XCB_WINDOW_NONE;
            std::free(owner);
            std::free(atom);
        }
        if (!owned)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    xcb_disconnect(connection);
    return owned;
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "run under testing/desktop-session: no X display\n");
        return 1;
    }
    if (!waitForNotificationArea()) {
        std::fprintf(stderr, "no notification area on this desktop\n");
        return 1;
    }
    QApplication app(argc, argv);
    CTarnickApp::ConfigureApplication();
    return RUN_ALL_TESTS();
}

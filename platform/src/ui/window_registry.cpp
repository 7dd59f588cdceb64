// The handles of the program's windows, for IsWindow and for checking a frame's owner.
#include "platform/ui.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Any thread may ask; the program registers from its window thread. A handle is only ever
// compared here, never dereferenced.
struct WindowRegistry {
    std::mutex lock;
    std::vector<HWND> windows;
};

WindowRegistry& registry() {
    static WindowRegistry instance;
    return instance;
}

} // namespace

namespace platform {

void registerWindow(HWND window) {
    if (!window)
        return;
    auto& r = registry();
    std::lock_guard held(r.lock);
    if (std::find(r.windows.begin(), r.windows.end(), window) == r.windows.end())
        r.windows.push_back(window);
}

void unregisterWindow(HWND window) {
    auto& r = registry();
    std::lock_guard held(r.lock);
    std::erase(r.windows, window);
}

} // namespace platform

extern "C" BOOL IsWindow(HWND window) {
    if (!window)
        return FALSE;
    auto& r = registry();
    std::lock_guard held(r.lock);
    return std::find(r.windows.begin(), r.windows.end(), window) != r.windows.end() ? TRUE : FALSE;
}

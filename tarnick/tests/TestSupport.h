// Shared helpers of the program's UI tests.
#pragma once

#include "TarnickDlg.h"
#include "resource.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <functional>
#include <string>

namespace testsupport {

// Runs the event loop until `done` holds or a generous bound passes (no timing assertion:
// the bound only keeps a broken test from hanging).
inline bool pumpUntil(const std::function<bool()>& done, int boundMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > boundMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The settings file the window under test uses (beside the test program), removed before
// and after each test.
class SettingsFile {
public:
    SettingsFile() {
        CTarnickDlg probe;
        path_ = probe.GetSettingsFilePath().str();
        probe.m_connectHost = "";
        std::remove(path_.c_str());
        // The probe's teardown writes the file; start the test without one.
        probe.OnDestroy();
        std::remove(path_.c_str());
    }
    ~SettingsFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline BITMAPINFO* makeFrameBuffer(int width, int height, int bits = 24) {
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = static_cast<WORD>(bits);
    format.bmiHeader.biSizeImage = static_cast<DWORD>(((width * bits + 31) / 32) * 4 * height);
    return CVideo::DupBitmap(&format);
}

} // namespace testsupport

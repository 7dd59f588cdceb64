// Shared helpers of the tests of a window nobody sees: the start-up server's settings, the
// frame number of what a viewer gets (read by curl and ffmpeg), and the frame number of what
// the window paints (its grab).
#pragma once

#include "PictureView.h"
#include "PublishedMedia.h"
#include "TestSupport.h"
#include "pattern_strip.h"

#include <QDir>
#include <QImage>

#include <fstream>
#include <string>

namespace unseen {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// A capture server of the test pattern started at launch, as the service runs it.
inline void writeStartUpServer(const testsupport::SettingsFile& file, int port) {
    std::ofstream(file.path()) << "[NETWORK]\nCONNECT_PORT=" << port
                               << "\n[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-"
                                  "pattern\n[VIDEO]\nWIDTH="
                               << kWidth << "\nHEIGHT=" << kHeight
                               << "\nBITCOUNT=24\nFRAME_PER_SEC=30\n";
}

// The pattern's frame number in the snapshot a viewer gets now.
inline bool servedFrameNumber(int port, uint32_t* number) {
    const QString file = QDir::temp().filePath(QString("unseen-%1.jpg").arg(port));
    const QString url = QString("http://127.0.0.1:%1/snapshot.jpg").arg(port);
    if (!testsupport::toolOutput("curl", {"-sf", "--max-time", "10", "-o", file, url}))
        return false;
    const auto strip = testsupport::firstFrameStrip(file.toStdString(), kWidth, kHeight);
    QFile::remove(file);
    if (!strip)
        return false;
    *number = strip->frameNumber;
    return true;
}

// Viewers keep getting new frames: two snapshots a frame apart or more (bounded).
inline bool servedFramesAdvance(int port, uint32_t* latest) {
    uint32_t first = 0;
    if (!testsupport::pumpUntil([&] { return servedFrameNumber(port, &first); }, 15000))
        return false;
    return testsupport::pumpUntil(
        [&] { return servedFrameNumber(port, latest) && *latest > first; }, 15000);
}

// The pattern's frame number in the picture the window paints (its grab).
inline bool paintedFrameNumber(CTarnickDlg& dlg, uint32_t* number) {
    const QImage image = dlg.m_picture->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int left = dlg.m_edgeX, top = dlg.m_edgeY;
    if (image.width() < left + kWidth || image.height() < top + kHeight)
        return false;
    platform::media::pattern::StripData strip;
    if (!platform::media::pattern::decodeStrip(
            kWidth, kHeight, [&](int x, int y) { return qGray(image.pixel(left + x, top + y)); },
            &strip))
        return false;
    *number = strip.frameNumber;
    return true;
}

} // namespace unseen

// Reading what was published, with tools no one here wrote: ffprobe's view of a stream, the
// segments of an HLS playlist, and the test pattern's strip in a picture ffmpeg decoded.
#pragma once

#include "pattern_strip.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// A tool's standard output, or nothing when it failed or ran past the bound.
inline std::optional<QByteArray> toolOutput(const QString& tool, const QStringList& args,
                                            int boundMs = 30000) {
    QProcess process;
    process.start(tool, args);
    if (!process.waitForFinished(boundMs)) {
        process.kill();
        process.waitForFinished();
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

// ffprobe's "codec|width|height" of the first video stream.
inline std::string probeVideo(const std::string& input) {
    const auto out = toolOutput("ffprobe", {"-v", "error", "-select_streams", "v:0",
                                            "-show_entries", "stream=codec_name,width,height",
                                            "-of", "csv=p=0:s=|", QString::fromStdString(input)});
    // An HLS playlist lists its stream under its program as well: the first line is enough.
    return out ? out->trimmed().split('\n').front().trimmed().toStdString() : std::string();
}

// The segment names of an HLS playlist file, oldest first.
inline std::vector<std::string> playlistSegments(const std::string& playlist) {
    std::ifstream in(playlist);
    std::vector<std::string> segments;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#' && line.find(".ts") != std::string::npos)
            segments.push_back(line);
    return segments;
}

// The strip of the first picture ffmpeg decodes from `input` (as top-down BGR24).
inline std::optional<platform::media::pattern::StripData> firstFrameStrip(const std::string& input,
                                                                          int width, int height) {
    const auto raw =
        toolOutput("ffmpeg", {"-v", "error", "-i", QString::fromStdString(input), "-frames:v", "1",
                              "-f", "rawvideo", "-pix_fmt", "bgr24", "-"});
    if (!raw || raw->size() < qsizetype(width) * height * 3)
        return std::nullopt;
    const auto* bgr = reinterpret_cast<const unsigned char*>(raw->constData());
    platform::media::pattern::StripData strip;
    const bool read = platform::media::pattern::decodeStrip(
        width, height,
        [&](int x, int y) {
            const unsigned char* p =
                bgr + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
            return (29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8;
        },
        &strip);
    if (!read)
        return std::nullopt;
    return strip;
}

} // namespace testsupport

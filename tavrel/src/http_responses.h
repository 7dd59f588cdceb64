// The server's response texts: heads, part headers, the viewer page and short error answers.
#pragma once

#include "dib_format.h"
#include "viewer_scripts.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrel {

inline constexpr std::string_view kBoundary = "ormidalframe";

// Each writer fills `out` (no allocation) and returns the length, or 0 when it does not fit.
size_t writeStreamHead(char* out, size_t capacity);
// One part's headers; `raw` selects our raw type, otherwise image/jpeg.
size_t writePartHead(char* out, size_t capacity, bool raw, const DibFormat& format, size_t length,
                     int64_t timestampUs);
size_t writeSnapshotHead(char* out, size_t capacity, size_t length, int64_t timestampUs);
// Ends a part and opens the next one at once, so that viewers show a part as soon as it arrives.
std::string_view partDelimiter();

// Built once per request, not per frame.
// With an access key the page's stream and snapshot links carry it, so a browser that opened
// the page with the key in its URL shows the stream.
std::string viewerPage(const DibFormat& format, int fps, std::string_view accessKey = {});
// The page when WebRTC is configured: plays the Janus mountpoint in a <video> with the player
// of docs/janus (the access key as the mountpoint's pin) and shows the MJPEG stream instead
// while WebRTC does not play: not connected within a few seconds, failed or stalled.
std::string webRtcViewerPage(const DibFormat& format, int fps, std::string_view accessKey,
                             const WebRtcViewer& webrtc);
// `text` as a double-quoted JavaScript string that is also safe inside an HTML <script>:
// everything but letters, digits, bytes of multi-byte characters and ./:_- escaped.
std::string javaScriptString(std::string_view text);
std::string errorResponse(int status, std::string_view reason, std::string_view extraHeaders = {});
std::string htmlResponse(const std::string& body);

} // namespace tavrel

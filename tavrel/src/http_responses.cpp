// Response texts: exactly one space after each colon, no chunking, nothing cached.
#include "http_responses.h"

#include "raw_media_type.h"
#include "url_text.h"

#include <cinttypes>
#include <cstdio>

namespace tavrel {

namespace {
size_t fitted(int n, size_t capacity) {
    return (n < 0 || static_cast<size_t>(n) >= capacity) ? 0 : static_cast<size_t>(n);
}
} // namespace

size_t writeStreamHead(char* out, size_t capacity) {
    const int n = std::snprintf(out, capacity,
                                "HTTP/1.1 200 OK\r\n"
                                "Content-Type: multipart/x-mixed-replace;boundary=%.*s\r\n"
                                "Cache-Control: no-store, no-cache, must-revalidate, max-age=0\r\n"
                                "Pragma: no-cache\r\n"
                                "Connection: close\r\n"
                                "\r\n"
                                "--%.*s\r\n",
                                static_cast<int>(kBoundary.size()), kBoundary.data(),
                                static_cast<int>(kBoundary.size()), kBoundary.data());
    return fitted(n, capacity);
}

size_t writePartHead(char* out, size_t capacity, bool raw, const DibFormat& format, size_t length,
                     int64_t timestampUs) {
    char type[128];
    if (raw) {
        if (formatRawMediaType(format, type, sizeof type) == 0)
            return 0;
    } else {
        std::snprintf(type, sizeof type, "%.*s", static_cast<int>(kJpegMediaType.size()),
                      kJpegMediaType.data());
    }
    const int n = std::snprintf(out, capacity,
                                "Content-Type: %s\r\n"
                                "Content-Length: %zu\r\n"
                                "X-Timestamp: %" PRId64 ".%06" PRId64 "\r\n"
                                "\r\n",
                                type, length, timestampUs / 1000000, timestampUs % 1000000);
    return fitted(n, capacity);
}

size_t writeSnapshotHead(char* out, size_t capacity, size_t length, int64_t timestampUs) {
    const int n = std::snprintf(out, capacity,
                                "HTTP/1.1 200 OK\r\n"
                                "Content-Type: image/jpeg\r\n"
                                "Content-Length: %zu\r\n"
                                "X-Timestamp: %" PRId64 ".%06" PRId64 "\r\n"
                                "Cache-Control: no-store\r\n"
                                "Connection: close\r\n"
                                "\r\n",
                                length, timestampUs / 1000000, timestampUs % 1000000);
    return fitted(n, capacity);
}

std::string_view partDelimiter() {
    static const std::string text = "\r\n--" + std::string(kBoundary) + "\r\n";
    return text;
}

std::string htmlResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\n"
           "Content-Type: text/html; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\r\n"
           "Cache-Control: no-store\r\n"
           "Connection: close\r\n"
           "\r\n" +
           body;
}

std::string viewerPage(const DibFormat& format, int fps, std::string_view accessKey) {
    const std::string w = std::to_string(format.width);
    const std::string h = std::to_string(format.height);
    // Percent-encoding leaves only unreserved characters, so the key is safe in the attribute.
    // Relative URLs: the page works the same behind a proxy that serves it under a path of its
    // own (https://HOST/camera/ leads to https://HOST/camera/stream).
    const std::string key = accessKey.empty() ? "" : "?key=" + percentEncode(accessKey);
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Ormidal " + w + "x" + h +
           "</title>\n<style>body{margin:0;background:#111;color:#ddd;font:14px sans-serif}"
           "img{display:block;max-width:100vw;height:auto}p{margin:6px}</style></head>\n"
           "<body><img src=\"stream" +
           key + "\" width=\"" + w + "\" height=\"" + h + "\" alt=\"live stream\">\n<p>" + w +
           " &times; " + h + " @ " + std::to_string(fps) + " fps &middot; <a href=\"snapshot.jpg" +
           key + "\">snapshot</a></p></body></html>\n";
}

std::string javaScriptString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= 'a' && byte <= 'z') || c == '.' || c == ':' || c == '/' || c == '_' ||
            c == '-') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        }
    }
    return out + "\"";
}

std::string webRtcViewerPage(const DibFormat& format, int fps, std::string_view accessKey,
                             const WebRtcViewer& webrtc) {
    const std::string w = std::to_string(format.width);
    const std::string h = std::to_string(format.height);
    const std::string key = accessKey.empty() ? "" : "?key=" + percentEncode(accessKey);
    std::string config = "window.viewerConfig={id:" + std::to_string(webrtc.mountpoint);
    if (!webrtc.janusUrl.empty())
        config += ",server:" + javaScriptString(webrtc.janusUrl);
    if (!accessKey.empty())
        config += ",pin:" + javaScriptString(accessKey);
    config += "};\n";
    std::string scripts;
    for (const char* name : {"adapter.js", "janus.js", "viewer.js", "strip-probe.js"})
        scripts += "<script src=\"" + std::string(name) + key + "\"></script>\n";
    // Relative URLs, so that the page works the same under a proxy's path of its own. The
    // MJPEG image only gets its source when it is shown: a viewer on WebRTC costs no MJPEG.
    // The video stays laid out under the image, so the browser never pauses it as unseen, and
    // comes back on top as soon as its pictures move again (the player reconnects by itself).
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Ormidal " + w + "x" + h +
           "</title>\n<style>body{margin:0;background:#111;color:#ddd;font:14px sans-serif}"
           "#view{position:relative}video,img{display:block;max-width:100vw;height:auto}"
           "#mjpeg{position:absolute;left:0;top:0}#mjpeg[hidden]{display:none}p{margin:6px}"
           "</style>\n<script>" +
           config + "</script>\n" + scripts +
           "</head>\n<body><div id=\"view\"><video id=\"video\" width=\"" + w + "\" height=\"" + h +
           "\" autoplay muted playsinline></video>\n<img id=\"mjpeg\" hidden data-src=\"stream" +
           key + "\" width=\"" + w + "\" height=\"" + h +
           "\" alt=\"live stream\"></div>\n<p><span id=\"mode\">WebRTC</span> &middot; " + w +
           " &times; " + h + " @ " + std::to_string(fps) + " fps &middot; <a href=\"snapshot.jpg" +
           key +
           "\">snapshot</a> &middot; <span id=\"status\"></span></p>\n"
           "<script>\n"
           "(function () {\n"
           "  const video = document.getElementById(\"video\");\n"
           "  const image = document.getElementById(\"mjpeg\");\n"
           "  const mode = document.getElementById(\"mode\");\n"
           "  const graceMs = 4000;\n"
           "  let mjpeg = false, lastTime = -1, lastMoved = performance.now();\n"
           "  function showMjpeg() {\n"
           "    if (mjpeg) return;\n"
           "    mjpeg = true;\n"
           "    image.src = image.dataset.src;\n"
           "    image.hidden = false;\n"
           "    mode.textContent = \"MJPEG\";\n"
           "  }\n"
           "  function showVideo() {\n"
           "    if (!mjpeg) return;\n"
           "    mjpeg = false;\n"
           "    image.hidden = true;\n"
           "    image.removeAttribute(\"src\");\n"
           "    mode.textContent = \"WebRTC\";\n"
           "  }\n"
           "  window.viewerConfig.onTrouble = showMjpeg;\n"
           "  // ?mjpeg: the MJPEG stream alone, WebRTC not even tried.\n"
           "  const forced = new URLSearchParams(location.search).has(\"mjpeg\");\n"
           "  window.viewerConfig.disabled = forced;\n"
           "  if (forced) { showMjpeg(); return; }\n"
           "  setInterval(function () {\n"
           "    const now = performance.now();\n"
           "    if (video.readyState >= 2 && video.currentTime !== lastTime) {\n"
           "      lastTime = video.currentTime;\n"
           "      lastMoved = now;\n"
           "      showVideo();\n"
           "    } else if (now - lastMoved > graceMs) {\n"
           "      showMjpeg();\n"
           "    }\n"
           "  }, 500);\n"
           "})();\n"
           "</script></body></html>\n";
}

std::string errorResponse(int status, std::string_view reason, std::string_view extraHeaders) {
    const std::string body = std::to_string(status) + " " + std::string(reason) + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\n"
           "Content-Type: text/plain\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n" + std::string(extraHeaders) +
           "Cache-Control: no-store\r\n"
           "Connection: close\r\n"
           "\r\n" +
           body;
}

} // namespace tavrel

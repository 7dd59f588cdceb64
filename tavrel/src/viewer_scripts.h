// The scripts the WebRTC viewer page loads, served by the capture server itself: the player of
// docs/janus (compiled in) and the system's janus.js and adapter.js (read once when serving
// starts, never from the I/O thread).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {

// Where the page finds Janus, as the program's settings give it.
struct WebRtcViewer {
    std::string janusUrl; // empty: the browser uses http(s)://<page's host>:8088/janus
    int mountpoint = 0;   // 0: no WebRTC, the page shows the MJPEG stream alone
    bool enabled() const { return mountpoint > 0; }
};

// Janus's address as a setting: empty, an http(s):// or ws(s):// URL, or a path on the page's
// own server ("/janus" behind a proxy); printable ASCII without quotes or blanks, bounded.
bool validJanusUrl(std::string_view url);

// Files larger than this are not served (they are not the scripts we mean).
inline constexpr size_t kMaxScriptBytes = 2u << 20;

// The first of `candidates` that exists, is a regular file and holds 1..kMaxScriptBytes bytes;
// empty when none does.
std::string readScriptFile(const std::vector<std::string>& candidates);

struct ScriptFiles {
    std::vector<std::string> janus = {"/usr/share/javascript/janus-gateway/janus.min.js",
                                      "/usr/share/javascript/janus-gateway/janus.js"};
    std::vector<std::string> adapter = {"/usr/share/javascript/webrtc-adapter/adapter.min.js",
                                        "/usr/share/javascript/webrtc-adapter/adapter.js"};
};

// Whole HTTP responses for the page's script routes, made once when serving starts.
class ViewerScripts {
public:
    ViewerScripts() = default; // no routes: WebRTC is off
    explicit ViewerScripts(const ScriptFiles& files);
    // The response for `path`, or null when it is none of the script routes or its file is
    // missing (answered 404 like any unknown path).
    const std::string* find(std::string_view path) const;

private:
    std::string m_janus, m_adapter, m_viewer, m_probe;
};

} // namespace tavrel

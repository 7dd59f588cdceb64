// Script routes of the WebRTC viewer page; see viewer_scripts.h.
#include "viewer_scripts.h"

#include "viewer_script_data.h"

#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace tavrel {

namespace {

std::string scriptResponse(std::string_view body) {
    if (body.empty())
        return {};
    return "HTTP/1.1 200 OK\r\n"
           "Content-Type: text/javascript; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\r\n"
           "Cache-Control: no-cache\r\n"
           "Connection: close\r\n"
           "\r\n" +
           std::string(body);
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

bool validJanusUrl(std::string_view url) {
    if (url.empty())
        return true;
    if (url.size() > 512)
        return false;
    for (const char c : url)
        if (c <= ' ' || c > '~' || c == '"' || c == '\'' || c == '\\' || c == '<' || c == '>')
            return false;
    return startsWith(url, "http://") || startsWith(url, "https://") || startsWith(url, "ws://") ||
           startsWith(url, "wss://") || (url[0] == '/' && !startsWith(url, "//"));
}

std::string readScriptFile(const std::vector<std::string>& candidates) {
    for (const std::string& path : candidates) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
            static_cast<unsigned long long>(info.st_size) > kMaxScriptBytes)
            continue;
        std::ifstream in(path, std::ios::binary);
        std::string text;
        text.reserve(static_cast<size_t>(info.st_size));
        // Bounded again while reading: the file may have grown since it was looked at.
        std::istreambuf_iterator<char> it(in), end;
        for (; it != end && text.size() <= kMaxScriptBytes; ++it)
            text.push_back(*it);
        if (in.bad() || text.empty() || text.size() > kMaxScriptBytes)
            continue;
        return text;
    }
    return {};
}

ViewerScripts::ViewerScripts(const ScriptFiles& files)
    : m_janus(scriptResponse(readScriptFile(files.janus))),
      m_adapter(scriptResponse(readScriptFile(files.adapter))),
      m_viewer(scriptResponse(std::string_view(kViewerJs, sizeof kViewerJs))),
      m_probe(scriptResponse(std::string_view(kStripProbeJs, sizeof kStripProbeJs))) {}

const std::string* ViewerScripts::find(std::string_view path) const {
    const std::string* found = path == "/janus.js"         ? &m_janus
                               : path == "/adapter.js"     ? &m_adapter
                               : path == "/viewer.js"      ? &m_viewer
                               : path == "/strip-probe.js" ? &m_probe
                                                           : nullptr;
    return found && !found->empty() ? found : nullptr;
}

} // namespace tavrel

// The viewer page with and without WebRTC: what the page at "/" loads and shows, the script
// routes the WebRTC page needs, and the settings that turn it on.
#include "tavrel/Tavrel.h"

#include "http_responses.h"
#include "stream_server.h"
#include "tavrel_test_support.h"
#include "viewer_scripts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace tavrel;
using namespace tavrel::test;

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A folder of its own with script files of chosen sizes, removed afterwards.
class ScriptFolder {
public:
    ScriptFolder() {
        char pattern[] = "/tmp/tavrel-scripts-XXXXXX";
        m_dir = ::mkdtemp(pattern);
    }
    ~ScriptFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    std::string write(const std::string& name, const std::string& text) {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string path(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

struct Served {
    std::unique_ptr<StreamServer> server;
    int port() const { return server->port(); }
};

Served serve(const WebRtcViewer& webrtc, const ScriptFiles& files, const std::string& key = {}) {
    ServerOptions options;
    options.port = 0;
    options.format = DibFormat{320, 240, 24};
    options.fps = 15;
    options.accessKey = key;
    options.webrtc = webrtc;
    options.scriptFiles = files;
    return {StreamServer::start(options)};
}

TEST(TavrelWebRtcPage, WithoutWebRtcThePageShowsMjpegAndServesNoScripts) {
    ScriptFolder folder;
    ScriptFiles files{{folder.write("janus.js", "var Janus;")},
                      {folder.write("adapter.js", "var adapter;")}};
    Served s = serve({}, files);
    ASSERT_TRUE(s.server);
    const HttpAnswer page = httpGet(s.port(), "/");
    ASSERT_EQ(page.status, 200) << page.head;
    EXPECT_TRUE(has(page.body, "stream\" width=\"320\" height=\"240\"")) << page.body;
    EXPECT_FALSE(has(page.body, "<video")) << page.body;
    EXPECT_FALSE(has(page.body, "<script")) << page.body;
    for (const char* route : {"/janus.js", "/adapter.js", "/viewer.js", "/strip-probe.js"})
        EXPECT_EQ(httpGet(s.port(), route).status, 404) << route;
}

TEST(TavrelWebRtcPage, WithWebRtcThePagePlaysTheMountpointAndKeepsMjpegForLater) {
    ScriptFolder folder;
    ScriptFiles files{{folder.write("janus.js", "var Janus = 1;")},
                      {folder.write("adapter.js", "var adapter = 2;")}};
    Served s = serve({"https://janus.example:8089/janus", 7}, files);
    ASSERT_TRUE(s.server);
    const HttpAnswer page = httpGet(s.port(), "/");
    ASSERT_EQ(page.status, 200) << page.head;
    const std::string& body = page.body;
    EXPECT_TRUE(has(body, "<video id=\"video\" width=\"320\" height=\"240\" autoplay muted"));
    EXPECT_TRUE(has(body, "window.viewerConfig={id:7,server:\"https:"
                          "//janus.example:8089/janus\"};"))
        << body;
    EXPECT_FALSE(has(body, "pin:")) << "no key, no pin";
    // The MJPEG stream is not fetched until it is shown; its address waits in data-src.
    EXPECT_TRUE(has(body, "<img id=\"mjpeg\" hidden data-src=\"stream\"")) << body;
    EXPECT_FALSE(has(body, " src=\"stream")) << body;
    // The scripts load in order, the player after its libraries, from this server.
    const size_t adapter = body.find("<script src=\"adapter.js\">");
    const size_t janus = body.find("<script src=\"janus.js\">");
    const size_t viewer = body.find("<script src=\"viewer.js\">");
    ASSERT_NE(adapter, std::string::npos);
    ASSERT_NE(janus, std::string::npos);
    ASSERT_NE(viewer, std::string::npos);
    EXPECT_LT(adapter, janus);
    EXPECT_LT(janus, viewer);
    EXPECT_LT(body.find("window.viewerConfig"), viewer) << "the config comes before the player";
    EXPECT_TRUE(has(body, "snapshot.jpg"));

    const HttpAnswer janusJs = httpGet(s.port(), "/janus.js");
    EXPECT_EQ(janusJs.status, 200);
    EXPECT_EQ(janusJs.body, "var Janus = 1;");
    EXPECT_TRUE(has(janusJs.head, "Content-Type: text/javascript")) << janusJs.head;
    EXPECT_EQ(httpGet(s.port(), "/adapter.js").body, "var adapter = 2;");
    // The player and the probe are docs/janus's own files, byte for byte.
    EXPECT_EQ(httpGet(s.port(), "/viewer.js").body,
              fileText(ORMIDAL_SOURCE_DIR "/docs/janus/viewer.js"));
    EXPECT_EQ(httpGet(s.port(), "/strip-probe.js").body,
              fileText(ORMIDAL_SOURCE_DIR "/docs/janus/strip-probe.js"));
    EXPECT_EQ(httpGet(s.port(), "/viewer.html").status, 404);
    EXPECT_EQ(httpGet(s.port(), "/janus.js/x").status, 404);
}

TEST(TavrelWebRtcPage, WithoutJanusUrlTheBrowserPicksItsOwnHost) {
    Served s = serve({"", 1}, ScriptFiles{});
    ASSERT_TRUE(s.server);
    const HttpAnswer page = httpGet(s.port(), "/");
    EXPECT_TRUE(has(page.body, "window.viewerConfig={id:1};")) << page.body;
    // The player's own default is the page's host, port 8088.
    EXPECT_TRUE(has(fileText(ORMIDAL_SOURCE_DIR "/docs/janus/viewer.js"),
                    "location.protocol + \"//\" + location.hostname + \":8088/janus\""));
}

TEST(TavrelWebRtcPage, TheAccessKeyGuardsTheScriptsAndBecomesTheMountpointsPin) {
    ScriptFolder folder;
    ScriptFiles files{{folder.write("janus.js", "J")}, {folder.write("adapter.js", "A")}};
    // A key that would end the string or the script if it were written as it is.
    const std::string key = "a\"b</script>&\\c";
    Served s = serve({"", 3}, files, key);
    ASSERT_TRUE(s.server);
    const std::string query = "?key=a%22b%3C%2Fscript%3E%26%5Cc";
    EXPECT_EQ(httpGet(s.port(), "/").status, 401);
    for (const char* route : {"/janus.js", "/adapter.js", "/viewer.js", "/strip-probe.js"}) {
        EXPECT_EQ(httpGet(s.port(), route).status, 401) << route;
        EXPECT_EQ(httpGet(s.port(), route + query).status, 200) << route;
    }
    const HttpAnswer page = httpGet(s.port(), "/" + query);
    ASSERT_EQ(page.status, 200);
    EXPECT_TRUE(has(page.body, "pin:\"a\\u0022b\\u003c/script\\u003e\\u0026\\u005cc\""))
        << page.body;
    EXPECT_FALSE(has(page.body, key));
    for (const char* name : {"adapter.js", "janus.js", "viewer.js", "strip-probe.js"})
        EXPECT_TRUE(has(page.body, "<script src=\"" + std::string(name) + query + "\">")) << name;
    EXPECT_TRUE(has(page.body, "data-src=\"stream" + query + "\"")) << page.body;
}

TEST(TavrelWebRtcPage, SystemScriptsAreTheFirstUsableCandidateAndMissingOnesAre404) {
    ScriptFolder folder;
    const std::string big(kMaxScriptBytes + 1, 'x');
    std::filesystem::create_directory(folder.path("dir.js"));
    ScriptFiles files{{folder.path("missing.min.js"), folder.path("dir.js"),
                       folder.write("empty.js", ""), folder.write("big.js", big),
                       folder.write("janus.js", "second choice")},
                      {folder.path("missing.js"), folder.write("huge.js", big)}};
    Served s = serve({"", 1}, files);
    ASSERT_TRUE(s.server);
    EXPECT_EQ(httpGet(s.port(), "/janus.js").body, "second choice");
    const HttpAnswer adapter = httpGet(s.port(), "/adapter.js");
    EXPECT_EQ(adapter.status, 404) << "a file over the bound is not served";
    // The player still loads; the page falls back to MJPEG by itself when Janus's script
    // cannot run.
    EXPECT_EQ(httpGet(s.port(), "/viewer.js").status, 200);
    EXPECT_EQ(httpGet(s.port(), "/").status, 200);

    // Exactly the bound is still a script.
    EXPECT_EQ(readScriptFile({folder.write("edge.js", std::string(kMaxScriptBytes, 'y'))}).size(),
              kMaxScriptBytes);
}

TEST(TavrelWebRtcPage, SystemScriptsComeFromDebiansPackagesByDefault) {
    const ScriptFiles defaults;
    const std::string janus = readScriptFile(defaults.janus);
    const std::string adapter = readScriptFile(defaults.adapter);
    if (janus.empty() || adapter.empty())
        GTEST_SKIP() << "libjs-janus-gateway or libjs-webrtc-adapter is not installed";
    EXPECT_TRUE(has(janus, "Janus")) << "janus.min.js";
    EXPECT_EQ(janus, fileText("/usr/share/javascript/janus-gateway/janus.min.js"));
    EXPECT_EQ(adapter, fileText("/usr/share/javascript/webrtc-adapter/adapter.min.js"));
}

TEST(TavrelWebRtcPage, TheProgramsSettingTurnsThePageOnAndOffAcrossOpens) {
    CTavrel t;
    const int port = loopback::freePort();
    const auto page = [&] {
        const HttpAnswer a = httpGet(port, "/");
        return a.body;
    };
    ASSERT_EQ(t.SetWebRtcViewer("http://127.0.0.1:8088/janus", 2), 0);
    ASSERT_EQ(t.OpenServer(port, 64, 48, 30), 0);
    EXPECT_TRUE(has(page(), "window.viewerConfig={id:2,server:\"http:"));
    EXPECT_EQ(httpGet(port, "/viewer.js").status, 200);
    ASSERT_EQ(t.Close(), 0);
    // Kept for the next open, as the other server options are.
    ASSERT_EQ(t.OpenServer(port, 64, 48, 30), 0);
    EXPECT_TRUE(has(page(), "<video"));
    ASSERT_EQ(t.Close(), 0);
    // Mountpoint 0: off again.
    EXPECT_EQ(t.SetWebRtcViewer("http://127.0.0.1:8088/janus", 0), 0);
    ASSERT_EQ(t.OpenServer(port, 64, 48, 30), 0);
    EXPECT_FALSE(has(page(), "<video"));
    EXPECT_EQ(httpGet(port, "/viewer.js").status, 404);
    ASSERT_EQ(t.Close(), 0);
    // A refused address or id turns it off, and the server still opens with the MJPEG page.
    for (const char* bad : {"javascript:alert(1)", "//elsewhere/janus", "http://a b/janus",
                            "http://x\"y/janus", "ftp://host/janus", "http://host/\x01", "janus"}) {
        ASSERT_EQ(t.SetWebRtcViewer("/janus", 1), 0);
        EXPECT_EQ(t.SetWebRtcViewer(bad, 1), -1) << bad;
        ASSERT_EQ(t.OpenServer(port, 64, 48, 30), 0) << bad;
        EXPECT_FALSE(has(page(), "<video")) << bad;
        ASSERT_EQ(t.Close(), 0);
    }
    EXPECT_EQ(t.SetWebRtcViewer(std::string(513, 'h').insert(0, "http://").c_str(), 1), -1);
    EXPECT_EQ(t.SetWebRtcViewer(nullptr, -1), -1);
    // Every accepted form: a URL of either transport, a path behind a proxy, none at all.
    for (const char* good :
         std::initializer_list<const char*>{"https://cam.example/janus", "ws://127.0.0.1:8188/",
                                            "wss://h/j", "/janus", "", nullptr}) {
        EXPECT_EQ(t.SetWebRtcViewer(good, 1), 0) << (good ? good : "null");
        ASSERT_EQ(t.OpenServer(port, 64, 48, 30), 0);
        EXPECT_TRUE(has(page(), "<video")) << (good ? good : "null");
        ASSERT_EQ(t.Close(), 0);
    }
}

TEST(TavrelWebRtcPage, JavaScriptStringsEscapeEverythingThatCouldEndThem) {
    EXPECT_EQ(javaScriptString(""), "\"\"");
    EXPECT_EQ(javaScriptString("Az09.:/_-"), "\"Az09.:/_-\"");
    EXPECT_EQ(javaScriptString("'\"\\<>& \n"),
              "\"\\u0027\\u0022\\u005c\\u003c\\u003e\\u0026\\u0020\\u000a\"");
    EXPECT_EQ(javaScriptString("鍵"), "\"鍵\"") << "multi-byte characters pass as they are";
}

} // namespace

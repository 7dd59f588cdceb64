// Who may have what: the optional access key on every route, the listen address, and raw
// frames for this machine only.
#include "tavrel/Tavrel.h"

#include "net_socket.h"
#include "stream_client.h"
#include "stream_server.h"
#include "tavrel_test_support.h"
#include "url_text.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};

sockaddr_storage address(const char* text) {
    sockaddr_storage ss{};
    if (::inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&ss)->sin_addr) == 1)
        ss.ss_family = AF_INET;
    else if (::inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr) == 1)
        ss.ss_family = AF_INET6;
    return ss;
}

TEST(TavrelPeerAddress, OnlyThisMachineCountsAsLoopback) {
    for (const char* local : {"127.0.0.1", "127.0.0.2", "127.255.255.254", "::1",
                              "::ffff:127.0.0.1", "::ffff:127.9.8.7"})
        EXPECT_TRUE(isLoopbackAddress(address(local))) << local;
    for (const char* remote :
         {"128.0.0.1", "126.255.255.255", "10.0.0.1", "192.168.1.2", "0.0.0.0", "::", "::2",
          "::ffff:10.0.0.1", "::ffff:128.0.0.1", "fe80::1", "::127.0.0.1", "2001:db8::1"})
        EXPECT_FALSE(isLoopbackAddress(address(remote))) << remote;
    EXPECT_FALSE(isLoopbackAddress(sockaddr_storage{})) << "no address at all";
    // v4 and its mapped form are one peer when connections are counted per address.
    EXPECT_EQ(addressKey(address("10.1.2.3")), addressKey(address("::ffff:10.1.2.3")));
    EXPECT_NE(addressKey(address("10.1.2.3")), addressKey(address("10.1.2.4")));
}

class TavrelRemotePeer : public ::testing::Test {
protected:
    void SetUp() override {
        ServerOptions o;
        o.port = 0;
        o.format = kSmall;
        o.peerIsLocal = [](const sockaddr_storage&) { return false; };
        m_server = StreamServer::start(o);
        ASSERT_TRUE(m_server);
        m_feeder = std::make_unique<FrameFeeder>(kSmall, 10ms,
                                                 [this](uint8_t* f) { m_server->addFrame(f); });
    }
    void TearDown() override { m_feeder.reset(); }
    std::unique_ptr<StreamServer> m_server;
    std::unique_ptr<FrameFeeder> m_feeder;
};

TEST_F(TavrelRemotePeer, RawDemandedInTheUrlIsForbidden) {
    const HttpAnswer a = httpGet(m_server->port(), "/stream?raw=1");
    EXPECT_EQ(a.status, 403) << a.head;
    EXPECT_EQ(a.body.find("Content-Type: application/x-ormidal-dib"), std::string::npos);
}

TEST_F(TavrelRemotePeer, RawOfferedInAcceptIsAnsweredWithJpeg) {
    PartCounter reader(m_server->port(), "/stream",
                       "Accept: application/x-ormidal-dib, multipart/x-mixed-replace\r\n");
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (reader.parts() < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    const auto heads = reader.heads();
    ASSERT_GE(heads.size(), 3u) << reader.responseHead();
    for (auto& h : heads)
        EXPECT_NE(h.find("Content-Type: image/jpeg\r\n"), std::string::npos) << h;

    // Our own client asks for raw on loopback; served JPEG, it still shows the picture.
    auto client = StreamClient::open("127.0.0.1", m_server->port(), 5s);
    ASSERT_TRUE(client);
    EXPECT_TRUE(client->askedForRaw());
    EXPECT_EQ(client->format(), kSmall);
}

TEST(TavrelLocalPeer, RawIsServedToThisMachine) {
    ServerOptions o;
    o.port = 0;
    o.format = kSmall;
    auto server = StreamServer::start(o);
    ASSERT_TRUE(server);
    FrameFeeder feeder(kSmall, 10ms, [&](uint8_t* f) { server->addFrame(f); });
    PartCounter reader(server->port(), "/stream?raw=1");
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (reader.parts() < 1 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    const auto heads = reader.heads();
    ASSERT_FALSE(heads.empty());
    EXPECT_NE(heads[0].find("Content-Type: application/x-ormidal-dib; width=160"),
              std::string::npos)
        << heads[0];
}

const std::string kKey = "open sesame&1/é";

class TavrelAccessKey : public ::testing::Test {
protected:
    void SetUp() override {
        m_port = freePort();
        ASSERT_EQ(m_server.SetAccessKey(kKey.c_str()), 0);
        ASSERT_EQ(m_server.OpenServer(m_port, kSmall.width, kSmall.height, 30), 0);
        m_feeder = std::make_unique<FrameFeeder>(kSmall, 10ms,
                                                 [this](uint8_t* f) { m_server.AddFrame(f, 1); });
    }
    void TearDown() override {
        m_feeder.reset();
        m_server.Close();
    }
    // The status of a GET, reading only the answer's head (the stream never ends).
    int status(const std::string& target, const std::string& headers = {},
               std::string* head = nullptr) {
        PartCounter probe(m_port, target, headers);
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (probe.responseHead().empty() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(5ms);
        const std::string h = probe.responseHead();
        if (head)
            *head = h;
        return h.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(h.c_str() + 9) : 0;
    }
    CTavrel m_server;
    int m_port = 0;
    std::unique_ptr<FrameFeeder> m_feeder;
};

TEST_F(TavrelAccessKey, EveryRouteAsksForTheKey) {
    for (const char* route : {"/", "/stream", "/stream?raw=1", "/snapshot.jpg", "/nothing"}) {
        std::string head;
        EXPECT_EQ(status(route, {}, &head), 401) << route;
        EXPECT_NE(head.find("\r\nWWW-Authenticate: Basic realm=\"Ormidal\""), std::string::npos)
            << head;
        const std::string sep = std::string(route).find('?') == std::string::npos ? "?" : "&";
        EXPECT_EQ(status(route + sep + "key=wrong"), 401) << route;
        EXPECT_EQ(status(route + sep + "key=" + percentEncode(kKey.substr(1))), 401) << route;
    }
    std::string head;
    status("/", "Authorization: Basic " + base64Encode("x:" + kKey + "x") + "\r\n", &head);
    EXPECT_EQ(head.rfind("HTTP/1.1 401", 0), 0u) << "a longer password is not the key";
    EXPECT_EQ(httpExchange(m_port, "POST / HTTP/1.1\r\n\r\n").status, 401);
}

TEST_F(TavrelAccessKey, TheKeyInTheQueryOrAsBasicPasswordOpensEveryRoute) {
    const std::string q = "?key=" + percentEncode(kKey);
    EXPECT_EQ(status("/" + q), 200);
    EXPECT_EQ(status("/stream" + q), 200);
    EXPECT_EQ(status("/stream?raw=1&key=" + percentEncode(kKey)), 200);
    EXPECT_EQ(status("/nothing" + q), 404);
    EXPECT_EQ(httpExchange(m_port, "POST /" + q + " HTTP/1.1\r\n\r\n").status, 405);
    const std::string anyUser = "Authorization: Basic " + base64Encode("anyone:" + kKey) + "\r\n";
    const std::string noUser = "Authorization: basic " + base64Encode(":" + kKey) + "\r\n";
    EXPECT_EQ(status("/stream", anyUser), 200);
    EXPECT_EQ(status("/stream", noUser), 200);
    // Snapshots once the first frame is encoded.
    HttpAnswer snap;
    for (int i = 0; i < 100 && snap.status != 200; ++i) {
        snap = httpGet(m_port, "/snapshot.jpg", anyUser);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(snap.status, 200);
    EXPECT_EQ(httpGet(m_port, "/snapshot.jpg" + q).status, 200);
}

TEST_F(TavrelAccessKey, ThePageCarriesTheKeyToItsStream) {
    const HttpAnswer page = httpGet(m_port, "/?key=" + percentEncode(kKey));
    ASSERT_EQ(page.status, 200);
    const size_t src = page.body.find("<img src=\"");
    ASSERT_NE(src, std::string::npos) << page.body;
    const size_t end = page.body.find('"', src + 10);
    const std::string target = page.body.substr(src + 10, end - src - 10);
    // Relative to the page at "/", so that a proxy may serve it under a path of its own.
    EXPECT_EQ(target, "stream?key=" + percentEncode(kKey));
    EXPECT_EQ(status("/" + target), 200);
    EXPECT_NE(page.body.find("href=\"snapshot.jpg?key=" + percentEncode(kKey) + "\""),
              std::string::npos);
}

TEST_F(TavrelAccessKey, OurClientSendsTheKeyFromTheUrlsCredentials) {
    const std::string at = "@127.0.0.1:" + std::to_string(m_port) + "/";
    CTavrel client;
    EXPECT_NE(
        client.OpenClient(
            const_cast<char*>(("http://127.0.0.1:" + std::to_string(m_port) + "/").c_str()), 0),
        0)
        << "no key";
    EXPECT_NE(client.OpenClient(const_cast<char*>(("http://:wrong" + at).c_str()), 0), 0);
    EXPECT_EQ(client.IsOpen(), 0);
    ASSERT_EQ(
        client.OpenClient(const_cast<char*>(("http://:" + percentEncode(kKey) + at).c_str()), 0),
        0);
    BITMAPINFOHEADER h{};
    ASSERT_EQ(client.GetBitmapInfoHdr(&h), 0);
    EXPECT_EQ(h.biWidth, kSmall.width);
    client.Close();
    EXPECT_EQ(client.OpenClient(
                  const_cast<char*>(("http://viewer:" + percentEncode(kKey) + at).c_str()), 0),
              0)
        << "any user name";
}

TEST(TavrelServerOptions, AKeyThatIsNotValidKeepsTheServerShut) {
    CTavrel t;
    const int port = freePort();
    EXPECT_EQ(t.SetAccessKey("bad\nkey"), -1);
    EXPECT_NE(t.OpenServer(port, 160, 120, 30), 0) << "a mistyped key must not serve openly";
    EXPECT_EQ(t.SetAccessKey(std::string(129, 'k').c_str()), -1);
    EXPECT_NE(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(t.SetAccessKey(std::string(128, 'k').c_str()), 0);
    ASSERT_EQ(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(httpGet(port, "/").status, 401);
    t.Close();
    EXPECT_EQ(t.SetAccessKey(nullptr), 0);
    ASSERT_EQ(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(httpGet(port, "/").status, 200) << "no key: open as before";
    t.Close();
    EXPECT_EQ(t.SetAccessKey(""), 0);
}

TEST(TavrelServerOptions, ListenAddressLimitsWhereTheServerCanBeReached) {
    CTavrel t;
    const int port = freePort();
    ASSERT_EQ(t.SetListenAddress("127.0.0.1"), 0);
    ASSERT_EQ(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(httpGet(port, "/").status, 200);
    const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    EXPECT_NE(::connect(v6, reinterpret_cast<sockaddr*>(&a), sizeof a), 0)
        << "::1 is another address";
    ::close(v6);
    t.Close();

    EXPECT_EQ(t.SetListenAddress("[::1]"), 0);
    ASSERT_EQ(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(loopback::connect(port), -1) << "127.0.0.1 is another address";
    t.Close();

    EXPECT_EQ(t.SetListenAddress("localhost"), -1) << "numeric addresses only";
    EXPECT_NE(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(t.SetListenAddress(""), 0);
    ASSERT_EQ(t.OpenServer(port, 160, 120, 30), 0);
    EXPECT_EQ(httpGet(port, "/").status, 200);
}

} // namespace

// A request that a proxy on this machine passes on (a TLS front such as docs/nginx/https.conf)
// comes from a viewer elsewhere: the loopback address it arrives from earns it no raw frames.
#include "stream_server.h"
#include "tavrel_test_support.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tavrel;
using namespace tavrel::test;

namespace {

const DibFormat kSmall{160, 120, 24};

// Every header a proxy may mark a forwarded request with, in any case of its name.
class TavrelForwarded : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ServerOptions o;
        o.port = 0;
        o.format = kSmall;
        m_server = StreamServer::start(o); // loopback peers count as this machine
        ASSERT_TRUE(m_server);
        m_feeder = std::make_unique<FrameFeeder>(kSmall, 10ms,
                                                 [this](uint8_t* f) { m_server->addFrame(f); });
    }
    void TearDown() override { m_feeder.reset(); }
    std::unique_ptr<StreamServer> m_server;
    std::unique_ptr<FrameFeeder> m_feeder;
};

TEST_P(TavrelForwarded, RawDemandedThroughAProxyIsForbidden) {
    const HttpAnswer a = httpGet(m_server->port(), "/stream?raw=1", GetParam());
    EXPECT_EQ(a.status, 403) << a.head;
}

TEST_P(TavrelForwarded, RawOfferedThroughAProxyIsAnsweredWithJpeg) {
    PartCounter reader(
        m_server->port(), "/stream",
        std::string("Accept: application/x-ormidal-dib, multipart/x-mixed-replace\r\n") +
            GetParam());
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (reader.parts() < 2 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    const auto heads = reader.heads();
    ASSERT_GE(heads.size(), 2u) << reader.responseHead();
    for (auto& h : heads)
        EXPECT_NE(h.find("Content-Type: image/jpeg\r\n"), std::string::npos) << h;
}

INSTANTIATE_TEST_SUITE_P(ProxyHeaders, TavrelForwarded,
                         ::testing::Values("X-Forwarded-For: 203.0.113.9\r\n",
                                           "Forwarded: for=203.0.113.9;proto=https\r\n",
                                           "X-Real-IP: 203.0.113.9\r\n",
                                           "x-forwarded-for: 127.0.0.1\r\n"));

} // namespace

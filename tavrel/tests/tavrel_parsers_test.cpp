// The parsers that read peer bytes: requests, response heads, chunked bodies, multipart, raw type.
#include "chunked_decoder.h"
#include "http_request_parser.h"
#include "http_response_parser.h"
#include "multipart_parser.h"
#include "net_socket.h"
#include "raw_media_type.h"
#include "stream_reader.h"
#include "url_text.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace tavrel;

namespace {

HttpRequestParser::Status feedSplit(HttpRequestParser& p, const std::string& text, size_t cut) {
    p.feed(text.data(), cut);
    return p.feed(text.data() + cut, text.size() - cut);
}

TEST(TavrelRequestParser, ParsesAtEverySplitPoint) {
    const std::string req = "GET /stream?x=2&raw=1 HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n";
    for (size_t cut = 0; cut <= req.size(); ++cut) {
        HttpRequestParser p;
        ASSERT_EQ(feedSplit(p, req, cut), HttpRequestParser::Status::Complete) << cut;
        EXPECT_EQ(p.request().method, "GET");
        EXPECT_EQ(p.request().path, "/stream");
        EXPECT_TRUE(p.wantsRaw());
    }
}

TEST(TavrelRequestParser, RawIsAskedByAcceptOrQueryOnly) {
    HttpRequestParser a;
    std::string r = "GET /stream HTTP/1.0\nAccept: Application/X-Ormidal-Dib, image/jpeg\n\n";
    ASSERT_EQ(a.feed(r.data(), r.size()), HttpRequestParser::Status::Complete);
    EXPECT_TRUE(a.wantsRaw());
    HttpRequestParser b;
    r = "GET /stream?raw=10 HTTP/1.1\r\n\r\n";
    ASSERT_EQ(b.feed(r.data(), r.size()), HttpRequestParser::Status::Complete);
    EXPECT_FALSE(b.wantsRaw());
}

TEST(TavrelRequestParser, RefusesOversizeAndMalformedHeads) {
    HttpRequestParser big;
    std::string r = "GET / HTTP/1.1\r\nX: " + std::string(HttpRequestParser::kMaxHeadBytes, 'a');
    EXPECT_EQ(big.feed(r.data(), r.size()), HttpRequestParser::Status::TooLarge);
    for (const char* bad :
         {"GET  / HTTP/1.1\r\n\r\n", "GET / HTTP/2\r\n\r\n", "GET nopath HTTP/1.1\r\n\r\n",
          "GET / HTTP/1.1\r\nNoColon\r\n\r\n", "GET / HTTP/1.1\r\n folded: x\r\n\r\n",
          "G\x01T / HTTP/1.1\r\n\r\n", "\r\n\r\n", "GET /\x7f HTTP/1.1\r\n\r\n"}) {
        HttpRequestParser p;
        EXPECT_EQ(p.feed(bad, std::strlen(bad)), HttpRequestParser::Status::Malformed) << bad;
    }
}

TEST(TavrelRequestParser, AHeadOfExactlyTheLimitIsReadAndOneByteMoreIsRefused) {
    const std::string start = "GET / HTTP/1.1\r\nX: ", end = "\r\n\r\n";
    auto head = [&](size_t total) {
        return start + std::string(total - start.size() - end.size(), 'a') + end;
    };
    const std::string fits = head(HttpRequestParser::kMaxHeadBytes);
    HttpRequestParser atLimit;
    EXPECT_EQ(atLimit.feed(fits.data(), fits.size()), HttpRequestParser::Status::Complete);
    const std::string over = head(HttpRequestParser::kMaxHeadBytes + 1);
    HttpRequestParser pastLimit;
    EXPECT_EQ(pastLimit.feed(over.data(), over.size()), HttpRequestParser::Status::TooLarge);
    // Byte by byte, as a slow peer sends it: the same limit.
    HttpRequestParser slow;
    HttpRequestParser::Status status = HttpRequestParser::Status::NeedMore;
    for (char c : fits)
        status = slow.feed(&c, 1);
    EXPECT_EQ(status, HttpRequestParser::Status::Complete);
}

TEST(TavrelRawMediaType, ParsesOnlyCompleteInRangeParameters) {
    DibFormat f;
    EXPECT_EQ(parseRawMediaType("application/x-ormidal-dib; width=640; height=480; bits=24", f),
              RawTypeResult::Ok);
    EXPECT_EQ(f, (DibFormat{640, 480, 24}));
    EXPECT_EQ(parseRawMediaType("image/jpeg", f), RawTypeResult::NotRaw);
    for (const char* bad :
         {"application/x-ormidal-dib", "application/x-ormidal-dib; width=640; height=480",
          "application/x-ormidal-dib; width=640; width=640; height=4; bits=24",
          "application/x-ormidal-dib; width=8193; height=4; bits=24",
          "application/x-ormidal-dib; width=-1; height=4; bits=24",
          "application/x-ormidal-dib; width=99999999999999999999; height=4; bits=24",
          "application/x-ormidal-dib; width=4; height=4; bits=8",
          "application/x-ormidal-dib; width; height=4; bits=24"})
        EXPECT_EQ(parseRawMediaType(bad, f), RawTypeResult::Invalid) << bad;
    char text[128];
    ASSERT_GT(formatRawMediaType(DibFormat{321, 7, 24}, text, sizeof text), 0u);
    ASSERT_EQ(parseRawMediaType(text, f), RawTypeResult::Ok);
    EXPECT_EQ(f.stride(), 964u);
}

TEST(TavrelChunkedDecoder, DecodesAtEverySplitPointAndRefusesBadSizes) {
    const std::string body = "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\n";
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        std::string copy = body;
        ChunkedDecoder d;
        size_t n1 = 0, n2 = 0;
        auto* p = reinterpret_cast<uint8_t*>(copy.data());
        ASSERT_NE(d.decode(p, cut, n1), ChunkedDecoder::Status::Malformed);
        std::string out(copy.data(), n1);
        EXPECT_EQ(d.decode(p + cut, copy.size() - cut, n2), ChunkedDecoder::Status::Done) << cut;
        out.append(copy.data() + cut, n2);
        EXPECT_EQ(out, "hello world");
    }
    for (std::string bad : {"x\r\n", "5\r\nhelloXX", "fffffffff\r\n", "\r\n"}) {
        ChunkedDecoder d;
        size_t n = 0;
        EXPECT_EQ(d.decode(reinterpret_cast<uint8_t*>(bad.data()), bad.size(), n),
                  ChunkedDecoder::Status::Malformed)
            << bad;
    }
}

// Records the parts a reader delivers.
struct Parts : StreamReader::Sink {
    std::vector<std::string> bodies;
    std::vector<std::string> types;
    std::vector<std::string> stamps;
    void onPart(const MultipartPart& p) override {
        bodies.emplace_back(reinterpret_cast<const char*>(p.data), p.size);
        types.emplace_back(p.contentType);
        stamps.emplace_back(p.timestamp);
    }
};

StreamReader::Status readAll(const std::string& text, Parts& parts, size_t cut = 0) {
    std::string copy = text;
    auto* p = reinterpret_cast<uint8_t*>(copy.data());
    StreamReader r;
    if (cut > 0) {
        const StreamReader::Status s = r.feed(p, cut, parts);
        if (s != StreamReader::Status::NeedMore)
            return s;
    }
    return r.feed(p + cut, copy.size() - cut, parts);
}

const std::string kOurStream =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: multipart/x-mixed-replace;boundary=b0\r\n\r\n"
    "--b0\r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\n"
    "X-Timestamp: 1.5\r\n\r\nab\n\r\n--b0\r\n"
    "Content-Type: image/jpeg\r\nContent-Length: 4\r\n\r\n--b0\r\n--b0\r\n";

TEST(TavrelStreamReader, ReadsPartsAtEverySplitPoint) {
    for (size_t cut = 0; cut <= kOurStream.size(); ++cut) {
        Parts parts;
        EXPECT_EQ(readAll(kOurStream, parts, cut), StreamReader::Status::NeedMore) << cut;
        ASSERT_EQ(parts.bodies.size(), 2u) << cut;
        EXPECT_EQ(parts.bodies[0], "ab\n");
        EXPECT_EQ(parts.bodies[1], "--b0") << "a body may contain the boundary text";
        EXPECT_EQ(parts.types[0], "image/jpeg");
        EXPECT_EQ(parts.stamps[0], "1.5");
    }
}

TEST(TavrelStreamReader, DecodesChunkedMislabelledStreamsLikeFfmpegServes) {
    const std::string body =
        "--ffmpeg\r\nContent-type: image/jpeg\r\nContent-Length: 2\r\n\r\nxy\r\n"
        "--ffmpeg\r\nContent-type: image/jpeg\r\nContent-Length: 1\r\n\r\nz\r\n";
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", body.size() - 10);
    const std::string stream = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                               "Transfer-Encoding: chunked\r\n\r\n" +
                               std::string("a\r\n") + body.substr(0, 10) + "\r\n" + size +
                               body.substr(10) + "\r\n";
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Parts parts;
        EXPECT_EQ(readAll(stream, parts, cut), StreamReader::Status::NeedMore) << cut;
        ASSERT_EQ(parts.bodies.size(), 2u) << cut;
        EXPECT_EQ(parts.bodies[0], "xy");
        EXPECT_EQ(parts.bodies[1], "z");
    }
}

TEST(TavrelStreamReader, PartsWithoutContentLengthEndAtTheDelimiter) {
    const std::string stream = "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; "
                               "boundary=\"--cam\"\r\n\r\n"
                               "----cam\r\nContent-Type: image/jpeg\r\n\r\nAB\r\nCD\r\n----cam\r\n"
                               "Content-Type: image/jpeg\r\n\r\nE\r\n----cam--\r\n";
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Parts parts;
        EXPECT_EQ(readAll(stream, parts, cut), StreamReader::Status::End) << cut;
        ASSERT_EQ(parts.bodies.size(), 2u) << cut;
        EXPECT_EQ(parts.bodies[0], "AB\r\nCD");
        EXPECT_EQ(parts.bodies[1], "E");
    }
}

TEST(TavrelStreamReader, RefusesBadStatusGarbageBoundariesAndOversizeInput) {
    Parts parts;
    EXPECT_EQ(readAll("HTTP/1.1 404 Not Found\r\n\r\n", parts), StreamReader::Status::Error);
    EXPECT_EQ(readAll("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nhello\r\n", parts),
              StreamReader::Status::Error)
        << "a body that does not start with a boundary line";
    EXPECT_EQ(readAll("ICY 200 OK\r\n\r\n", parts), StreamReader::Status::Error);
    EXPECT_EQ(readAll("HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'x'), parts),
              StreamReader::Status::Error);
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=q\r\n\r\n";
    EXPECT_EQ(readAll(head + "--q\r\nContent-Length: 999999999999\r\n\r\n", parts),
              StreamReader::Status::Error);
    EXPECT_EQ(readAll(head + "--q\r\nContent-Length: 12x\r\n\r\n", parts),
              StreamReader::Status::Error);
    EXPECT_EQ(readAll(head + "--q\r\n" + std::string(5000, 'h') + "\r\n", parts),
              StreamReader::Status::Error);
    EXPECT_EQ(readAll(head + "--q\r\nbad header line\r\n\r\n", parts), StreamReader::Status::Error);
    // Text that is no boundary is skipped, but only so far.
    EXPECT_EQ(readAll(head + std::string(2 << 20, '\n') + "--q\r\n", parts),
              StreamReader::Status::NeedMore);
    std::string junk;
    for (int i = 0; i < 100000; ++i)
        junk += "--notq-line\r\n";
    EXPECT_EQ(readAll(head + junk, parts), StreamReader::Status::Error);
    EXPECT_TRUE(parts.bodies.empty());
}

TEST(TavrelStreamReader, StrayTextBetweenPartsIsToleratedForTheWholeStream) {
    // A camera that leaves a few bytes after every part: each gap is small, the sum is not.
    MultipartLimits limits;
    limits.maxSkipBytes = 100;
    MultipartParser p("q", limits);
    std::string s;
    for (int i = 0; i < 50; ++i)
        s += "--q\r\nContent-Length: 2\r\n\r\nok\r\nstray-text\r\n";
    const auto* data = reinterpret_cast<const uint8_t*>(s.data());
    size_t at = 0;
    int parts = 0;
    MultipartParser::Status st = MultipartParser::Status::NeedMore;
    while (at < s.size()) {
        size_t used = 0;
        st = p.feed(data + at, s.size() - at, used);
        at += used;
        if (st == MultipartParser::Status::Part)
            ++parts;
        else if (st != MultipartParser::Status::NeedMore)
            break;
    }
    EXPECT_EQ(st, MultipartParser::Status::NeedMore);
    EXPECT_EQ(parts, 50);
    // One gap beyond the allowance still fails.
    MultipartParser q("q", limits);
    const std::string junk = std::string(30, 'x') + "\r\n";
    std::string t;
    for (int i = 0; i < 5; ++i)
        t += junk;
    size_t used = 0;
    EXPECT_EQ(q.feed(reinterpret_cast<const uint8_t*>(t.data()), t.size(), used),
              MultipartParser::Status::Malformed);
}

TEST(TavrelStreamReader, UnboundedPartWithoutLengthIsCutOff) {
    MultipartLimits limits;
    limits.maxPartBytes = 1000;
    MultipartParser p("z", limits);
    std::string s = "--z\r\n\r\n" + std::string(5000, 'a');
    size_t used = 0;
    EXPECT_EQ(p.feed(reinterpret_cast<const uint8_t*>(s.data()), s.size(), used),
              MultipartParser::Status::TooLarge);
}

TEST(TavrelStreamReader, BoundaryIsReadFromTheContentType) {
    EXPECT_EQ(StreamReader::boundaryOf("multipart/x-mixed-replace;boundary=abc"), "abc");
    EXPECT_EQ(StreamReader::boundaryOf("Multipart/X-Mixed-Replace; charset=x; Boundary=\"a b\""),
              "a b");
    EXPECT_EQ(StreamReader::boundaryOf("application/octet-stream;boundary=abc"), "");
    EXPECT_EQ(StreamReader::boundaryOf("multipart/x-mixed-replace"), "");
}

TEST(TavrelResponseParser, TwoDifferentContentLengthsAreRefusedTwoEqualOnesAccepted) {
    auto parse = [](const std::string& head) {
        HttpResponseParser p;
        size_t used = 0;
        return p.feed(reinterpret_cast<const uint8_t*>(head.data()), head.size(), used);
    };
    EXPECT_EQ(parse("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"),
              HttpResponseParser::Status::Malformed);
    EXPECT_EQ(parse("HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 5\r\n\r\n"),
              HttpResponseParser::Status::Complete);
    Parts parts;
    EXPECT_EQ(readAll("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=q\r\n"
                      "Content-Length: 1\r\nContent-Length: 2\r\n\r\n--q\r\n",
                      parts),
              StreamReader::Status::Error);
}

TEST(TavrelStreamReader, OverlongLineFailsAsSoonAsItPassesTheLimit) {
    // A line that never ends must fail once it is longer than the limit, not at its newline.
    for (const std::string start : {"", "--q\r\n", "--q\r\nContent-Length: 2\r\n\r\nok\r\n"}) {
        MultipartParser p("q");
        const std::string chunk = start + std::string(64 * 1024, 'h');
        size_t used = 0;
        EXPECT_EQ(p.feed(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), used),
                  start.size() > 10 ? MultipartParser::Status::Part
                                    : MultipartParser::Status::TooLarge)
            << start;
        if (start.size() > 10) {
            const size_t at = used;
            EXPECT_EQ(p.feed(reinterpret_cast<const uint8_t*>(chunk.data()) + at, chunk.size() - at,
                             used),
                      MultipartParser::Status::TooLarge);
        }
        EXPECT_LT(used, 4096u) << "read far past the limit";
    }
}

TEST(TavrelUrlText, PercentEncodingRoundTripsAndRefusesBadEscapes) {
    const std::string all = "key with spaces/&?=#%+\"<>é";
    const std::string enc = percentEncode(all);
    EXPECT_EQ(enc.find_first_of(" /&?=#\"<>"), std::string::npos) << enc;
    EXPECT_EQ(percentDecode(enc, 100), all);
    EXPECT_EQ(percentDecode("a%2", 10), std::nullopt);
    EXPECT_EQ(percentDecode("a%zz", 10), std::nullopt);
    EXPECT_EQ(percentDecode("%0a", 10), std::nullopt) << "control characters";
    EXPECT_EQ(percentDecode("abcd", 3), std::nullopt);
    EXPECT_EQ(percentDecode("a+b", 3), "a+b");
    EXPECT_EQ(queryValue("raw=1&key=x%20y&key=z", "key"), "x%20y");
    EXPECT_EQ(queryValue("xkey=1&ke=2", "key"), std::nullopt);
    EXPECT_EQ(queryValue("key", "key"), std::nullopt);
    EXPECT_EQ(queryValue("key=", "key"), "");
}

TEST(TavrelUrlText, Base64RoundTripsAndRefusesAnythingElse) {
    for (const std::string& s : std::vector<std::string>{"", "a", "ab", "abc", "abcd",
                                                         ":open sesame", std::string("\0\xff", 2)})
        EXPECT_EQ(base64Decode(base64Encode(s), 64), s) << s;
    EXPECT_EQ(base64Encode(":s3cret"), "OnMzY3JldA==");
    for (const char* bad : {"abc", "ab=c", "a===", "YQ==YQ==", "Y!==", "YQ="})
        EXPECT_EQ(base64Decode(bad, 64), std::nullopt) << bad;
    EXPECT_EQ(base64Decode("YWJjZA==", 3), std::nullopt) << "longer than allowed";
}

TEST(TavrelRequestParser, CredentialsAndStreamPreferenceAreRead) {
    HttpRequestParser a;
    std::string r = "GET /?key=1 HTTP/1.1\r\nAuthorization:  Basic OnMzY3JldA== \r\n"
                    "Accept: multipart/x-mixed-replace, image/jpeg\r\n\r\n";
    ASSERT_EQ(a.feed(r.data(), r.size()), HttpRequestParser::Status::Complete);
    EXPECT_EQ(a.request().authorization, "Basic OnMzY3JldA==");
    EXPECT_EQ(a.request().query, "key=1");
    EXPECT_TRUE(a.request().prefersStream);
    HttpRequestParser browser;
    r = "GET / HTTP/1.1\r\nAccept: text/html, multipart/x-mixed-replace\r\n\r\n";
    ASSERT_EQ(browser.feed(r.data(), r.size()), HttpRequestParser::Status::Complete);
    EXPECT_FALSE(browser.request().prefersStream);
    HttpRequestParser twice;
    r = "GET / HTTP/1.1\r\nAuthorization: Basic a\r\nAuthorization: Basic b\r\n\r\n";
    EXPECT_EQ(twice.feed(r.data(), r.size()), HttpRequestParser::Status::Malformed);
}

TEST(TavrelStreamTarget, UrlCredentialsAreDecodedAndOnlyTakenFromUrls) {
    StreamTarget t;
    ASSERT_TRUE(parseStreamTarget("http://:k%40y%3A1@host:81/", 7373, t));
    EXPECT_EQ(t.credentials, ":k@y:1");
    EXPECT_EQ(t.host, "host");
    EXPECT_EQ(t.port, 81);
    EXPECT_EQ(t.path, "/");
    ASSERT_TRUE(parseStreamTarget("http://me:pw@[::1]/video", 7373, t));
    EXPECT_EQ(t.credentials, "me:pw");
    EXPECT_EQ(t.host, "::1");
    ASSERT_TRUE(parseStreamTarget("http://host/", 7373, t));
    EXPECT_EQ(t.credentials, "");
    EXPECT_FALSE(parseStreamTarget("me:pw@host", 7373, t)) << "credentials need the URL form";
    EXPECT_FALSE(parseStreamTarget("http://:bad%zz@host/", 7373, t));
    EXPECT_FALSE(parseStreamTarget("http://:a%0ab@host/", 7373, t));
}

} // namespace

// The device dialogs (ShowPropertyDialog, CheckShowPropertyDialog, GetStreamFormat,
// ShowStreamFormatDialog) on the test-pattern camera, with a scripted property-frame host
// standing where the program's window would draw the frame.
#include <lumora/Video.h>
#include <platform/com_ptr.h>
#include <platform/media/camera_interfaces.h>
#include <platform/media/filter_classes.h>
#include <platform/media/media.h>
#include <platform/media/test_pattern_camera.h>
#include <platform/ui.h>

#include <gtest/gtest.h>

#include "stream_config.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using platform::ComPtr;

namespace {

constexpr const char* kPattern = "ormidal:test-pattern";

class DialogVideo : public CVideo {
public:
    using CVideo::m_pSource;
    using CVideo::m_pStreamConfig;

    bool graphHas(const char16_t* name) {
        ComPtr<IBaseFilter> filter;
        return m_pGraph && SUCCEEDED(m_pGraph->FindFilterByName(name, filter.GetAddressOf()));
    }
    int filterCount() {
        ComPtr<IEnumFilters> filters;
        if (!m_pGraph || FAILED(m_pGraph->EnumFilters(filters.GetAddressOf())))
            return -1;
        int count = 0;
        IBaseFilter* filter = nullptr;
        while (filters->Next(1, &filter, nullptr) == S_OK) {
            filter->Release();
            ++count;
        }
        return count;
    }
    // The pin's format as the pin reports it.
    tVideoInf pinFormat() { return testsupport::streamConfigFormat(m_pStreamConfig); }
};

// A host that records each frame it is asked for and runs the test's script on its object.
class ScriptedHost {
public:
    struct Call {
        HWND owner;
        std::optional<std::u16string> caption;
        size_t objects;
        std::vector<CLSID> pages;
    };

    ScriptedHost() {
        previous_ = platform::setPropertyFrameHost([this](const platform::PropertyFrameRequest& r) {
            Call call{r.owner, std::nullopt, r.objects.size(), {r.pages.begin(), r.pages.end()}};
            if (r.caption)
                call.caption = std::u16string(r.caption);
            calls.push_back(call);
            if (script && !r.objects.empty())
                script(r.objects[0]);
            return S_OK;
        });
        platform::registerWindow(window());
    }
    ~ScriptedHost() {
        platform::unregisterWindow(window());
        platform::setPropertyFrameHost(std::move(previous_));
    }
    ScriptedHost(const ScriptedHost&) = delete;
    ScriptedHost& operator=(const ScriptedHost&) = delete;

    HWND window() { return reinterpret_cast<HWND>(&windowObject_); }

    std::vector<Call> calls;
    std::function<void(IUnknown*)> script;

private:
    int windowObject_ = 0;
    platform::PropertyFrameHost previous_;
};

struct Dialogs : ::testing::Test {
    void SetUp() override { ASSERT_EQ(video.Open(OPEN_DEVICE, kPattern, -1), 0); }
    ScriptedHost host;
    DialogVideo video;
};

// A short clip for the object's file mode.
std::string makeClip() {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("lumora-dialog-" + std::to_string(getpid()) + ".avi"))
                                 .string();
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i "
                                "testsrc2=size=160x120:rate=25 -frames:v 5 -c:v mjpeg '" +
                                path + "'";
    return std::system(command.c_str()) == 0 ? path : std::string();
}

} // namespace

TEST_F(Dialogs, PropertyPagesOfTheDeviceFilterCaptionedByCallerOrByGraphName) {
    EXPECT_EQ(video.CheckShowPropertyDialog(), 1);
    ASSERT_EQ(video.ShowPropertyDialog(host.window(), "画像プロパティ設定"), 0);
    ASSERT_EQ(video.ShowPropertyDialog(host.window(), nullptr), 0);
    ASSERT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(host.calls[0].owner, host.window());
    EXPECT_EQ(host.calls[0].caption, std::u16string(u"画像プロパティ設定"));
    EXPECT_EQ(host.calls[0].objects, 1u);
    ASSERT_EQ(host.calls[0].pages.size(), 1u);
    EXPECT_EQ(host.calls[0].pages[0], CLSID_CameraControlsPage);
    // No caption: the filter's name in the graph.
    EXPECT_EQ(host.calls[1].caption, std::u16string(u"Video Capture"));
    // The graph is left as it was.
    EXPECT_TRUE(video.graphHas(u"Sample Grabber"));
}

TEST_F(Dialogs, CaptionsBeyond128Utf16UnitsOrNotConvertibleGiveNone) {
    const std::string fits(127, 'a'), tooLong(128, 'a');
    std::string pairsFit, pairsTooLong; // U+1F600 is two UTF-16 units
    for (int i = 0; i < 63; ++i)
        pairsFit += "\xF0\x9F\x98\x80";
    pairsTooLong = pairsFit + "\xF0\x9F\x98\x80";
    for (const std::string& caption : {fits, tooLong, pairsFit, pairsTooLong, std::string("\xFF")})
        ASSERT_EQ(video.ShowPropertyDialog(host.window(), caption.c_str()), 0);
    ASSERT_EQ(host.calls.size(), 5u);
    EXPECT_EQ(host.calls[0].caption->size(), 127u);
    EXPECT_FALSE(host.calls[1].caption.has_value()); // no fallback to the filter name
    EXPECT_EQ(host.calls[2].caption->size(), 126u);
    EXPECT_FALSE(host.calls[3].caption.has_value());
    EXPECT_FALSE(host.calls[4].caption.has_value());
}

TEST_F(Dialogs, OwnerThatIsNotAWindowFailsBeforeAnythingHappens) {
    int stranger = 0;
    const HWND notAWindow = reinterpret_cast<HWND>(&stranger);
    tVideoInf inf{1, 2, 3, 4};
    EXPECT_EQ(video.ShowPropertyDialog(notAWindow, "x"), -1);
    EXPECT_EQ(video.ShowPropertyDialog(nullptr, "x"), -1);
    EXPECT_EQ(video.GetStreamFormat(inf, notAWindow, "x"), -1);
    EXPECT_EQ(video.ShowStreamFormatDialog(notAWindow, "x"), -1);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(video.graphHas(u"Sample Grabber")); // nothing torn down
    EXPECT_EQ(inf.nWidth, 2);
}

TEST_F(Dialogs, ClosedOrFileModeObjectsRefuseEveryDialog) {
    CVideo closed;
    tVideoInf inf{1, 2, 3, 4};
    EXPECT_EQ(closed.ShowPropertyDialog(host.window(), "x"), -1);
    EXPECT_EQ(closed.CheckShowPropertyDialog(), 0);
    EXPECT_EQ(closed.GetStreamFormat(inf, host.window(), "x"), -1);
    EXPECT_EQ(closed.ShowStreamFormatDialog(host.window(), "x"), -1);

    const std::string clip = makeClip();
    ASSERT_FALSE(clip.empty());
    CVideo file;
    ASSERT_EQ(file.Open(OPEN_FILE, clip.c_str(), 0), 0);
    EXPECT_EQ(file.ShowPropertyDialog(host.window(), "x"), -1);
    EXPECT_EQ(file.CheckShowPropertyDialog(), 0);
    EXPECT_EQ(file.GetStreamFormat(inf, host.window(), "x"), -1);
    EXPECT_EQ(file.ShowStreamFormatDialog(host.window(), "x"), -1);
    file.Close();
    std::remove(clip.c_str());
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(inf.nWidth, 2);
}

TEST_F(Dialogs, DeviceWithoutPagesShowsNothing) {
    ComPtr<IBaseFilter> pageless;
    ASSERT_EQ(CoCreateInstance(CLSID_TestPatternSource, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IBaseFilter, reinterpret_cast<void**>(pageless.GetAddressOf())),
              S_OK);
    IBaseFilter* own = std::exchange(video.m_pSource, pageless.Get());
    EXPECT_EQ(video.CheckShowPropertyDialog(), 0);
    EXPECT_EQ(video.ShowPropertyDialog(host.window(), nullptr), 0);
    video.m_pSource = own;
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(Dialogs, StreamFormatTearsDownTheGraphAndReadsThePickedFormatBack) {
    host.script = [](IUnknown* object) {
        EXPECT_EQ(testsupport::pickFormat(object, 320, 240), S_OK);
    };
    tVideoInf inf{};
    ASSERT_EQ(video.GetStreamFormat(inf, host.window(), nullptr), 0);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_FALSE(host.calls[0].caption.has_value()); // never the filter's name here
    ASSERT_EQ(host.calls[0].pages.size(), 1u);
    EXPECT_EQ(host.calls[0].pages[0], CLSID_StreamFormatPage);
    EXPECT_EQ(inf.nBitCount, 24);
    EXPECT_EQ(inf.nWidth, 320);
    EXPECT_EQ(inf.nHeight, 240);
    EXPECT_EQ(inf.llFrameInterval, video.pinFormat().llFrameInterval);
    EXPECT_GT(inf.llFrameInterval, 0);
    // Only the device filter is left; the object's own record is not touched.
    EXPECT_EQ(video.filterCount(), 1);
    EXPECT_FALSE(video.graphHas(u"Sample Grabber"));
    tVideoInf kept{};
    ASSERT_TRUE(video.GetVideoInf(kept));
    EXPECT_EQ(kept.nWidth, 640);
}

TEST_F(Dialogs, CancelledStreamFormatReadsBackTheFormatInForce) {
    const tVideoInf before = video.pinFormat();
    ASSERT_EQ(before.nWidth, 640);
    tVideoInf inf{};
    ASSERT_EQ(video.GetStreamFormat(inf, host.window(), "ストリーム形式設定"), 0);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].caption, std::u16string(u"ストリーム形式設定"));
    EXPECT_EQ(inf.nBitCount, before.nBitCount);
    EXPECT_EQ(inf.nWidth, before.nWidth);
    EXPECT_EQ(inf.nHeight, before.nHeight);
    EXPECT_EQ(inf.llFrameInterval, before.llFrameInterval);
    EXPECT_FALSE(video.graphHas(u"Sample Grabber"));
}

TEST_F(Dialogs, WithoutTheHeldStreamConfigThePagesShowButNothingIsReadBack) {
    video.m_pStreamConfig->Release();
    video.m_pStreamConfig = nullptr;
    host.script = [](IUnknown* object) { testsupport::pickFormat(object, 320, 240); };
    tVideoInf inf{1, 2, 3, 4};
    EXPECT_EQ(video.GetStreamFormat(inf, host.window(), "x"), 1);
    EXPECT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(inf.nBitCount, 1);
    EXPECT_EQ(inf.nWidth, 2);
    EXPECT_EQ(inf.nHeight, 3);
    EXPECT_EQ(inf.llFrameInterval, 4);
    EXPECT_FALSE(video.graphHas(u"Sample Grabber"));

    // The whole round trip then rebuilds nothing.
    EXPECT_EQ(video.ShowStreamFormatDialog(host.window(), "x"), 0);
    EXPECT_FALSE(video.graphHas(u"Sample Grabber"));
}

TEST_F(Dialogs, StreamFormatRoundTripRebuildsTheGraphForThePickedOrKeptFormat) {
    host.script = [](IUnknown* object) { testsupport::pickFormat(object, 320, 240); };
    ASSERT_EQ(video.ShowStreamFormatDialog(host.window(), "x"), 0);
    EXPECT_TRUE(video.graphHas(u"Sample Grabber"));
    tVideoInf inf{};
    ASSERT_TRUE(video.GetVideoInf(inf));
    EXPECT_EQ(inf.nWidth, 320);
    EXPECT_EQ(inf.nHeight, 240);
    ASSERT_NE(video.GetBitmapInfoPtr(), nullptr);
    EXPECT_EQ(video.GetBitmapInfoPtr()->bmiHeader.biWidth, 320);

    host.script = nullptr; // cancelled: rebuilt for the format in force
    ASSERT_EQ(video.ShowStreamFormatDialog(host.window(), "x"), 0);
    EXPECT_TRUE(video.graphHas(u"Sample Grabber"));
    EXPECT_EQ(video.GetBitmapInfoPtr()->bmiHeader.biWidth, 320);
    EXPECT_EQ(host.calls.size(), 2u);
}

// The window registry (IsWindow) and property frames handed to the program's host.
#include <platform/com_object.h>
#include <platform/media/camera_interfaces.h>
#include <platform/ui.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

struct IProbe : IUnknown {};
DEFINE_INTERFACE_IID(IProbe, 0x3c0a51e2, 0x77d4, 0x4f0e, 0x8a, 0x10, 0, 0, 0, 0, 0, 1);

namespace {

class Probe : public platform::ComObject<IProbe> {
public:
    ULONG references() {
        AddRef();
        return Release();
    }
};

HWND handle(int& window) {
    return reinterpret_cast<HWND>(&window);
}

// What the host saw of one call.
struct Seen {
    HWND owner = nullptr;
    std::optional<std::u16string> caption; // empty: no caption
    std::vector<IUnknown*> objects;
    std::vector<CLSID> pages;
    LCID locale = 0;
    ULONG heldReferences = 0;
};

// Installs a host for the test and puts the previous one back.
class HostScope {
public:
    explicit HostScope(platform::PropertyFrameHost host)
        : previous_(platform::setPropertyFrameHost(std::move(host))) {}
    ~HostScope() { platform::setPropertyFrameHost(std::move(previous_)); }
    HostScope(const HostScope&) = delete;
    HostScope& operator=(const HostScope&) = delete;

private:
    platform::PropertyFrameHost previous_;
};

} // namespace

TEST(UiWindowRegistry, OnlyRegisteredLiveHandlesAreWindows) {
    int first = 0, second = 0;
    EXPECT_FALSE(IsWindow(nullptr));
    EXPECT_FALSE(IsWindow(handle(first)));

    platform::registerWindow(handle(first));
    platform::registerWindow(handle(first)); // twice is once: one unregister ends it
    platform::registerWindow(handle(second));
    EXPECT_TRUE(IsWindow(handle(first)));
    EXPECT_TRUE(IsWindow(handle(second)));

    platform::unregisterWindow(handle(first));
    EXPECT_FALSE(IsWindow(handle(first)));
    EXPECT_TRUE(IsWindow(handle(second)));
    platform::unregisterWindow(handle(second));
    EXPECT_FALSE(IsWindow(handle(second)));
    platform::registerWindow(nullptr);
    EXPECT_FALSE(IsWindow(nullptr));
}

TEST(UiPropertyFrame, HandsTheHostExactlyWhatTheCallerGave) {
    int window = 0;
    platform::registerWindow(handle(window));
    auto probe = platform::makeCom<Probe>();
    const ULONG before = probe->references();
    Seen seen;
    HostScope scope([&](const platform::PropertyFrameRequest& request) {
        seen.owner = request.owner;
        if (request.caption)
            seen.caption = std::u16string(request.caption);
        seen.objects.assign(request.objects.begin(), request.objects.end());
        seen.pages.assign(request.pages.begin(), request.pages.end());
        seen.locale = request.locale;
        seen.heldReferences = probe->references();
        return S_FALSE; // whatever the host answers is the call's result
    });
    IUnknown* objects[] = {probe.Get()};
    CLSID pages[] = {CLSID_CameraControlsPage, CLSID_StreamFormatPage};
    EXPECT_EQ(OleCreatePropertyFrame(handle(window), 0, 0, u"画像プロパティ設定", 1, objects, 2,
                                     pages, 0x0411, 0, nullptr),
              S_FALSE);
    EXPECT_EQ(seen.owner, handle(window));
    EXPECT_EQ(seen.caption, std::u16string(u"画像プロパティ設定"));
    ASSERT_EQ(seen.objects.size(), 1u);
    EXPECT_EQ(seen.objects[0], probe.Get());
    ASSERT_EQ(seen.pages.size(), 2u);
    EXPECT_EQ(seen.pages[0], CLSID_CameraControlsPage);
    EXPECT_EQ(seen.pages[1], CLSID_StreamFormatPage);
    EXPECT_EQ(seen.locale, 0x0411u);
    // The frame holds its object while it is open and lets it go afterwards.
    EXPECT_GT(seen.heldReferences, before);
    EXPECT_EQ(probe->references(), before);

    // No caption and no owner are passed on as such.
    seen = Seen();
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, nullptr, 1, objects, 1, pages, 0, 0, nullptr),
              S_FALSE);
    EXPECT_EQ(seen.owner, nullptr);
    EXPECT_FALSE(seen.caption.has_value());
    platform::unregisterWindow(handle(window));
}

TEST(UiPropertyFrame, RefusesBadCallsBeforeTheHostSeesThem) {
    int window = 0, stranger = 0;
    platform::registerWindow(handle(window));
    int calls = 0;
    HostScope scope([&](const platform::PropertyFrameRequest&) {
        ++calls;
        return S_OK;
    });
    auto probe = platform::makeCom<Probe>();
    IUnknown* objects[] = {probe.Get()};
    IUnknown* nullObject[] = {nullptr};
    CLSID pages[] = {CLSID_StreamFormatPage};
    const HWND owner = handle(window);

    EXPECT_EQ(OleCreatePropertyFrame(owner, 0, 0, u"x", 1, objects, 1, pages, 0, 1, nullptr),
              E_INVALIDARG);
    int reserved = 0;
    EXPECT_EQ(OleCreatePropertyFrame(owner, 0, 0, u"x", 1, objects, 1, pages, 0, 0, &reserved),
              E_INVALIDARG);
    EXPECT_EQ(OleCreatePropertyFrame(owner, 0, 0, u"x", 0, objects, 1, pages, 0, 0, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(OleCreatePropertyFrame(owner, 0, 0, u"x", 1, nullptr, 1, pages, 0, 0, nullptr),
              E_POINTER);
    EXPECT_EQ(OleCreatePropertyFrame(owner, 0, 0, u"x", 1, nullObject, 1, pages, 0, 0, nullptr),
              E_POINTER);
    EXPECT_EQ(OleCreatePropertyFrame(owner, 0, 0, u"x", 1, objects, 1, nullptr, 0, 0, nullptr),
              E_POINTER);
    // A handle the program never registered (or has unregistered) is never handed on.
    EXPECT_EQ(
        OleCreatePropertyFrame(handle(stranger), 0, 0, u"x", 1, objects, 1, pages, 0, 0, nullptr),
        E_INVALIDARG);
    platform::unregisterWindow(owner);
    EXPECT_EQ(OleCreatePropertyFrame(owner, 0, 0, u"x", 1, objects, 1, pages, 0, 0, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(calls, 0);
}

TEST(UiPropertyFrame, FailsCleanlyWithoutAHost) {
    HostScope none{platform::PropertyFrameHost()};
    auto probe = platform::makeCom<Probe>();
    const ULONG before = probe->references();
    IUnknown* objects[] = {probe.Get()};
    CLSID pages[] = {CLSID_CameraControlsPage};
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, nullptr, 1, objects, 1, pages, 0, 0, nullptr),
              E_NOTIMPL);
    EXPECT_EQ(probe->references(), before);
}

TEST(UiPropertyFrame, HostMayOpenNestedFramesAndReplaceItselfWhileOpen) {
    auto probe = platform::makeCom<Probe>();
    IUnknown* objects[] = {probe.Get()};
    CLSID pages[] = {CLSID_CameraControlsPage};
    int depth = 0, maxDepth = 0, replacementCalls = 0;
    HostScope scope([&](const platform::PropertyFrameRequest& request) -> HRESULT {
        maxDepth = std::max(maxDepth, ++depth);
        if (depth == 1)
            OleCreatePropertyFrame(nullptr, 0, 0, nullptr, 1,
                                   const_cast<IUnknown**>(request.objects.data()), 1, pages, 0, 0,
                                   nullptr);
        // Replacing the host from inside a frame must neither deadlock nor pull the running
        // host out from under itself.
        platform::setPropertyFrameHost([&](const platform::PropertyFrameRequest&) {
            ++replacementCalls;
            return S_OK;
        });
        --depth;
        return S_OK;
    });
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, nullptr, 1, objects, 1, pages, 0, 0, nullptr),
              S_OK);
    EXPECT_EQ(maxDepth, 2);
    EXPECT_EQ(replacementCalls, 0);
    EXPECT_EQ(OleCreatePropertyFrame(nullptr, 0, 0, nullptr, 1, objects, 1, pages, 0, 0, nullptr),
              S_OK);
    EXPECT_EQ(replacementCalls, 1);
}

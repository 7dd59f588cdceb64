// The COM runtime: per-thread initialisation, the class registry, references, BSTR, VARIANT.
#include <platform/com_object.h>
#include <platform/com_registry.h>

#include <gtest/gtest.h>

#include <thread>

struct IWidget : IUnknown {
    virtual int value() = 0;
};
DEFINE_INTERFACE_IID(IWidget, 0x6a1f0c01, 0x1111, 0x4e2a, 0x9b, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x01);
struct IGadget : IUnknown {
    virtual int twice() = 0;
};
DEFINE_INTERFACE_IID(IGadget, 0x6a1f0c02, 0x1111, 0x4e2a, 0x9b, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x02);
DEFINE_GUID_CONSTANT(CLSID_TestWidget, 0x6a1f0c03, 0x1111, 0x4e2a, 0x9b, 0x01, 0, 0, 0, 0, 0, 3);
DEFINE_GUID_CONSTANT(kUnknownClass, 0x12345678, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);

namespace {

int liveWidgets = 0;
DEFINE_GUID_CONSTANT(kNoSuchInterface, 0x6a1f0c04, 0x1111, 0x4e2a, 0x9b, 0x01, 0, 0, 0, 0, 0, 4);

class Widget : public platform::ComObject<IWidget, IGadget> {
public:
    Widget() { ++liveWidgets; }
    int value() override { return 21; }
    int twice() override { return 42; }

protected:
    ~Widget() override { --liveWidgets; }
};

// Initialises COM for the test's thread, as the program's main thread is.
class ComTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        platform::registerClass(CLSID_TestWidget, platform::createInstance<Widget>);
    }
    void TearDown() override {
        platform::unregisterClass(CLSID_TestWidget);
        CoUninitialize();
        EXPECT_EQ(liveWidgets, 0);
    }
};

TEST_F(ComTest, InitialisationIsCountedPerThread) {
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    EXPECT_TRUE(platform::isComInitialized());

    std::thread other([] {
        EXPECT_FALSE(platform::isComInitialized());
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(
            CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IWidget, &object),
            CO_E_NOTINITIALIZED);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(
            CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IWidget, &object),
            S_OK);
        static_cast<IWidget*>(object)->Release();
        CoUninitialize();
        EXPECT_FALSE(platform::isComInitialized());
    });
    other.join();
}

TEST_F(ComTest, CreationChecksItsArguments) {
    IUnknown* outer = nullptr;
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(kUnknownClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IWidget, nullptr),
        E_POINTER);
    ASSERT_EQ(CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC, IID_IUnknown,
                               reinterpret_cast<void**>(&outer)),
              S_OK);
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestWidget, outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC_SERVER, kNoSuchInterface,
                               &object),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    outer->Release();
}

TEST_F(ComTest, QueryInterfaceFollowsTheIdentityRules) {
    platform::ComPtr<IWidget> widget;
    ASSERT_EQ(CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_INPROC_SERVER, IID_IWidget,
                               reinterpret_cast<void**>(widget.GetAddressOf())),
              S_OK);
    platform::ComPtr<IGadget> gadget;
    ASSERT_EQ(widget.As(&gadget), S_OK);
    EXPECT_EQ(gadget->twice(), 42);
    // Every interface of one object answers the same IUnknown.
    EXPECT_EQ(widget.query<IUnknown>().Get(), gadget.query<IUnknown>().Get());
    // A reference count: two holders plus the one just taken and dropped.
    widget->AddRef();
    EXPECT_EQ(widget->Release(), 2u);
    widget = nullptr;
    EXPECT_EQ(liveWidgets, 1);
    gadget.reset();
    EXPECT_EQ(liveWidgets, 0);
}

TEST_F(ComTest, ReferencesMayBeTakenOnAnyThread) {
    auto widget = platform::makeCom<Widget>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                platform::ComPtr<IWidget> copy(widget.Get());
            }
        });
    for (auto& t : threads)
        t.join();
    widget->AddRef();
    EXPECT_EQ(widget->Release(), 1u);
}

TEST(Bstr, HoldsLengthAndTerminator) {
    const OLECHAR text[] = u"カメラ 1";
    BSTR s = SysAllocString(text);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(std::u16string(s), std::u16string(text));
    SysFreeString(s);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);

    BSTR zeros = SysAllocStringLen(nullptr, 3);
    EXPECT_EQ(SysStringLen(zeros), 3u);
    EXPECT_EQ(zeros[3], 0);
    SysFreeString(zeros);
}

TEST(Variant, ClearFreesWhatTheValueOwns) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(v.vt, VT_EMPTY);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"FriendlyName");
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_NE(copy.bstrVal, v.bstrVal);
    EXPECT_EQ(std::u16string(copy.bstrVal), u"FriendlyName");
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    v.vt = 0x7ff;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
}

TEST(TaskMemory, AllocatesAndFrees) {
    void* block = CoTaskMemAlloc(64);
    ASSERT_NE(block, nullptr);
    block = CoTaskMemRealloc(block, 128);
    ASSERT_NE(block, nullptr);
    CoTaskMemFree(block);
    CoTaskMemFree(nullptr);
}

} // namespace

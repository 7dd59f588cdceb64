// The system device enumerator over registered providers: order, property bags, binding,
// empty categories and hot-plug.
#include "graph_harness.h"

#include <platform/media/camera_interfaces.h>
#include <platform/media/device_providers.h>
#include <platform/media/test_pattern_camera.h>

#include <gtest/gtest.h>

#include <mutex>

using namespace graph_test;
using platform::media::DeviceEntry;

namespace {

class ListProvider final : public platform::media::DeviceProvider {
public:
    std::vector<DeviceEntry> devices(REFCLSID category) override {
        std::lock_guard lock(mutex);
        return category == CLSID_VideoInputDeviceCategory ? list : std::vector<DeviceEntry>{};
    }
    std::mutex mutex;
    std::vector<DeviceEntry> list;
    int bound = 0;
};

DeviceEntry entry(std::u16string name, std::u16string description, std::u16string path) {
    return {std::move(name), std::move(description), std::move(path), nullptr};
}

std::u16string readProperty(IMoniker* moniker, const char16_t* key, HRESULT* result = nullptr) {
    ComPtr<IPropertyBag> bag;
    EXPECT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                     reinterpret_cast<void**>(bag.GetAddressOf())),
              S_OK);
    VARIANT value;
    VariantInit(&value);
    const HRESULT hr = bag->Read(key, &value, nullptr);
    if (result)
        *result = hr;
    std::u16string text = SUCCEEDED(hr) ? std::u16string(value.bstrVal) : std::u16string();
    VariantClear(&value);
    return text;
}

std::vector<ComPtr<IMoniker>> monikers(HRESULT* created = nullptr,
                                       REFCLSID category = CLSID_VideoInputDeviceCategory) {
    auto devices = create<ICreateDevEnum>(CLSID_SystemDeviceEnum);
    ComPtr<IEnumMoniker> list;
    const HRESULT hr = devices->CreateClassEnumerator(category, list.GetAddressOf(), 0);
    if (created)
        *created = hr;
    std::vector<ComPtr<IMoniker>> all;
    IMoniker* moniker = nullptr;
    while (list && list->Next(1, &moniker, nullptr) == S_OK)
        all.push_back(ComPtr<IMoniker>::adopt(moniker));
    return all;
}

} // namespace

TEST(DeviceEnumerator, ListsProvidersInRankOrderWithTheTestPatternLast) {
    ComScope com;
    auto provider = std::make_shared<ListProvider>();
    provider->list = {entry(u"Cam", u"first", u"/dev/v4l/by-id/cam-1"), entry(u"Mic", u"", u""),
                      entry(u"Cam", u"second", u"/dev/video7")};
    platform::media::DeviceProviderScope scope(provider);
    auto all = monikers();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(readProperty(all[0].Get(), u"FriendlyName"), u"Cam");
    EXPECT_EQ(readProperty(all[0].Get(), u"DevicePath"), u"/dev/v4l/by-id/cam-1");
    EXPECT_EQ(readProperty(all[2].Get(), u"Description"), u"second");
    HRESULT missing = S_OK;
    EXPECT_EQ(readProperty(all[1].Get(), u"Description", &missing), u"");
    EXPECT_EQ(missing, E_FAIL);
    EXPECT_EQ(readProperty(all[1].Get(), u"NoSuchKey", &missing), u"");
    EXPECT_EQ(missing, E_FAIL);
    EXPECT_EQ(readProperty(all.back().Get(), u"DevicePath"), platform::media::kTestPatternPath);
    EXPECT_EQ(readProperty(all.back().Get(), u"FriendlyName"), platform::media::kTestPatternName);

    // The test-pattern camera binds to a working filter.
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(all.back()->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                       reinterpret_cast<void**>(filter.GetAddressOf())),
              S_OK);
    CLSID clsid{};
    filter->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_TestPatternCamera);
    // A device without a filter fails to bind and hands out nothing.
    ComPtr<IBaseFilter> none;
    EXPECT_TRUE(FAILED(all[1]->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                            reinterpret_cast<void**>(none.GetAddressOf()))));
    EXPECT_EQ(none, nullptr);
}

TEST(DeviceEnumerator, EveryEnumerationLooksAgain) {
    ComScope com;
    auto provider = std::make_shared<ListProvider>();
    platform::media::DeviceProviderScope scope(provider);
    const size_t before = monikers().size();
    {
        std::lock_guard lock(provider->mutex);
        provider->list.push_back(entry(u"Plugged", u"", u"/dev/video9"));
    }
    EXPECT_EQ(monikers().size(), before + 1);
    {
        std::lock_guard lock(provider->mutex);
        provider->list.clear();
    }
    EXPECT_EQ(monikers().size(), before);
}

TEST(DeviceEnumerator, EmptyCategoryIsSFalseWithoutAnEnumeratorAndEnumeratorsWalkCorrectly) {
    ComScope com;
    HRESULT created = E_FAIL;
    // The audio input category: no provider lists anything in it.
    const GUID audioInput = {
        0x33D9A762, 0x90C8, 0x11d0, {0xBD, 0x43, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
    EXPECT_TRUE(monikers(&created, audioInput).empty());
    EXPECT_EQ(created, S_FALSE);

    auto devices = create<ICreateDevEnum>(CLSID_SystemDeviceEnum);
    ComPtr<IEnumMoniker> list;
    ASSERT_EQ(
        devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.GetAddressOf(), 0),
        S_OK);
    IMoniker* batch[8] = {};
    ULONG fetched = 99;
    EXPECT_EQ(list->Next(8, batch, &fetched), S_FALSE); // fewer than asked for
    ASSERT_GE(fetched, 1u);
    for (ULONG i = 0; i < fetched; ++i)
        batch[i]->Release();
    EXPECT_EQ(list->Next(1, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(list->Reset(), S_OK);
    ComPtr<IEnumMoniker> clone;
    ASSERT_EQ(list->Clone(clone.GetAddressOf()), S_OK);
    EXPECT_EQ(clone->Next(1, batch, nullptr), S_OK);
    batch[0]->Release();
    EXPECT_EQ(list->Skip(1000), S_FALSE);
}

// A stand-in system device enumerator for tests: lists the devices a test names, in order.
#pragma once

#include <platform/com_object.h>
#include <platform/com_registry.h>
#include <platform/media/device_interfaces.h>
#include <platform/media/filter_classes.h>
#include <platform/media/filter_interfaces.h>
#include <platform/media/test_pattern_camera.h>

#include <memory>
#include <string>
#include <vector>

namespace fakedevices {

struct Device {
    std::u16string friendlyName;
    std::u16string description; // empty: the device has none
    std::u16string devicePath;  // empty: the device has none
    bool hasPropertyBag = true;
};

// What the last BindToObject bound, for assertions.
inline std::u16string& lastBound() {
    static std::u16string name;
    return name;
}

class PropertyBag : public platform::ComObject<IPropertyBag> {
public:
    explicit PropertyBag(Device device) : device_(std::move(device)) {}
    HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        const std::u16string key(name);
        const std::u16string* text = key == u"FriendlyName"  ? &device_.friendlyName
                                     : key == u"Description" ? &device_.description
                                     : key == u"DevicePath"  ? &device_.devicePath
                                                             : nullptr;
        if (!text || text->empty())
            return E_FAIL;
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(text->c_str());
        return S_OK;
    }
    HRESULT Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

private:
    Device device_;
};

class Moniker : public platform::ComObject<IMoniker> {
public:
    explicit Moniker(Device device) : device_(std::move(device)) {}
    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** object) override {
        lastBound() = device_.devicePath.empty() ? device_.friendlyName : device_.devicePath;
        // A test-pattern camera stands for the device, so an object can connect to it.
        return platform::media::createTestPatternCamera({}, riid, object);
    }
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** object) override {
        *object = nullptr;
        if (!device_.hasPropertyBag)
            return E_FAIL;
        return platform::makeCom<PropertyBag>(device_)->QueryInterface(riid, object);
    }

private:
    Device device_;
};

class EnumMoniker : public platform::ComObject<IEnumMoniker> {
public:
    explicit EnumMoniker(std::vector<Device> devices) : devices_(std::move(devices)) {}
    HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) override {
        ULONG given = 0;
        while (given < count && next_ < devices_.size()) {
            monikers[given++] = platform::makeCom<Moniker>(devices_[next_++]).Detach();
        }
        if (fetched)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        next_ = std::min(devices_.size(), next_ + count);
        return next_ < devices_.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        next_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumMoniker**) override { return E_NOTIMPL; }

private:
    std::vector<Device> devices_;
    size_t next_ = 0;
};

class DeviceEnumerator : public platform::ComObject<ICreateDevEnum> {
public:
    explicit DeviceEnumerator(std::vector<Device> devices) : devices_(std::move(devices)) {}
    HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** monikers, DWORD) override {
        *monikers = nullptr;
        if (category != CLSID_VideoInputDeviceCategory || devices_.empty())
            return S_FALSE;
        *monikers = platform::makeCom<EnumMoniker>(devices_).Detach();
        return S_OK;
    }

private:
    std::vector<Device> devices_;
};

// Stands in for the system device enumerator while in scope; puts the previous one back.
class Scope {
public:
    explicit Scope(std::vector<Device> devices) {
        previous_ =
            platform::registerClass(CLSID_SystemDeviceEnum, [devices](REFIID riid, void** object) {
                return platform::makeCom<DeviceEnumerator>(devices)->QueryInterface(riid, object);
            });
    }
    ~Scope() {
        if (previous_)
            platform::registerClass(CLSID_SystemDeviceEnum, std::move(previous_));
        else
            platform::unregisterClass(CLSID_SystemDeviceEnum);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    platform::ClassFactory previous_;
};

} // namespace fakedevices

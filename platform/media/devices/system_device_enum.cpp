// The system device enumerator (CLSID_SystemDeviceEnum): class enumerators, monikers and
// property bags over the devices the providers report.
#include "media/base/enumerator.h"
#include "media/devices/provider_registry.h"

#include <platform/com_object.h>
#include <platform/com_registry.h>
#include <platform/media/device_interfaces.h>

#include <algorithm>
#include <string>

namespace platform::media {
namespace {

class PropertyBag final : public ComObject<IPropertyBag> {
public:
    explicit PropertyBag(const DeviceEntry& device) : device_(device) {}
    // Strings come back as BSTR; a property the device does not have is E_FAIL, as the
    // platform's bags answer for a missing value.
    HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (!name || !value)
            return E_POINTER;
        const std::u16string key(name);
        const std::u16string* text = key == u"FriendlyName"  ? &device_.friendlyName
                                     : key == u"Description" ? &device_.description
                                     : key == u"DevicePath"  ? &device_.devicePath
                                                             : nullptr;
        if (!text || text->empty())
            return E_FAIL;
        if (value->vt != VT_EMPTY && value->vt != VT_BSTR)
            return E_FAIL;
        // The caller's VARIANT only names the wanted type: it holds no value to free.
        BSTR copy = SysAllocString(text->c_str());
        if (!copy)
            return E_OUTOFMEMORY;
        value->vt = VT_BSTR;
        value->bstrVal = copy;
        return S_OK;
    }
    HRESULT Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

private:
    const DeviceEntry device_;
};

class DeviceMoniker final : public ComObject<IMoniker> {
public:
    explicit DeviceMoniker(DeviceEntry device) : device_(std::move(device)) {}
    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        return device_.bind ? device_.bind(riid, object) : E_FAIL;
    }
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        return makeCom<PropertyBag>(device_)->QueryInterface(riid, object);
    }

private:
    const DeviceEntry device_;
};

using MonikerEnumerator = Enumerator<IEnumMoniker, ComPtr<IMoniker>, IMoniker*>;

class SystemDeviceEnum final : public ComObject<ICreateDevEnum> {
public:
    // S_FALSE and no enumerator when the category has no device.
    HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** monikers, DWORD) override {
        if (!monikers)
            return E_POINTER;
        *monikers = nullptr;
        // A snapshot of the category taken now, as the platform's is.
        std::vector<ComPtr<IMoniker>> devices;
        for (DeviceEntry& device : enumerateDevices(category))
            devices.push_back(makeCom<DeviceMoniker>(std::move(device)));
        if (devices.empty())
            return S_FALSE;
        *monikers = makeCom<MonikerEnumerator>(std::move(devices)).Detach();
        return S_OK;
    }
};

const ClassRegistration registration{CLSID_SystemDeviceEnum, createInstance<SystemDeviceEnum>};

} // namespace
} // namespace platform::media

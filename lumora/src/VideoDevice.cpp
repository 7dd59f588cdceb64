// Capture device enumeration and naming: listing, duplicate numbering, display names,
// path <-> name lookups and binding a device's filter.
#include "BoundDevice.h"
#include "ReleaseMember.h"
#include "lumora/Video.h"

#include <platform/com_ptr.h>
#include <platform/media/device_interfaces.h>
#include <platform/media/filter_interfaces.h>
#include <platform/text.h>

#include <algorithm>
#include <cstring>
#include <vector>

using platform::ComPtr;

namespace {

constexpr size_t kNameField = sizeof(tVideoDev::szFriendlyName);
constexpr size_t kPathField = sizeof(tVideoDev::szDevicePath);

// Reads one string property into a fixed field. A value too long for the field is cut at a
// whole character, so the field is always a terminated, valid string; false when the
// property cannot be read (the field is then left as it was).
bool readProperty(IPropertyBag* bag, const OLECHAR* name, char* field, size_t fieldSize) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    if (FAILED(bag->Read(name, &value, nullptr)) || value.vt != VT_BSTR || !value.bstrVal) {
        VariantClear(&value);
        return false;
    }
    bool ok = WideCharToMultiByte(CP_ACP, 0, value.bstrVal, -1, field, static_cast<int>(fieldSize),
                                  nullptr, nullptr) != 0;
    if (!ok) {
        const int needed =
            WideCharToMultiByte(CP_ACP, 0, value.bstrVal, -1, nullptr, 0, nullptr, nullptr);
        if (needed > 0) {
            std::vector<char> whole(static_cast<size_t>(needed));
            WideCharToMultiByte(CP_ACP, 0, value.bstrVal, -1, whole.data(), needed, nullptr,
                                nullptr);
            platform::copyUtf8Bounded(field, fieldSize, whole.data());
            ok = true;
        } else {
            field[0] = '\0';
        }
    }
    VariantClear(&value);
    return ok;
}

// The video input devices' monikers, or null when there are none (or no enumerator).
ComPtr<IEnumMoniker> videoInputDevices(HRESULT* created = nullptr) {
    ComPtr<ICreateDevEnum> devices;
    HRESULT hr =
        CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                         reinterpret_cast<void**>(devices.GetAddressOf()));
    if (created)
        *created = hr;
    if (FAILED(hr))
        return nullptr;
    ComPtr<IEnumMoniker> monikers;
    devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.GetAddressOf(), 0);
    return monikers;
}

// Walks the devices one moniker at a time, handing each one's property bag to `visit`
// until it returns true.
template <class Visit> void forEachDevice(IEnumMoniker* monikers, Visit visit) {
    monikers->Reset();
    for (;;) {
        ComPtr<IMoniker> moniker;
        if (monikers->Next(1, moniker.GetAddressOf(), nullptr) != S_OK || !moniker)
            return;
        ComPtr<IPropertyBag> bag;
        if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                          reinterpret_cast<void**>(bag.GetAddressOf()))) ||
            !bag)
            continue;
        if (visit(moniker.Get(), bag.Get()))
            return;
    }
}

bool sameName(const char* a, const char* b) {
    return _mbsnbcmp(reinterpret_cast<const unsigned char*>(a),
                     reinterpret_cast<const unsigned char*>(b), kNameField) == 0;
}

bool samePath(const char* a, const char* b) {
    return _mbsnbcmp(reinterpret_cast<const unsigned char*>(a),
                     reinterpret_cast<const unsigned char*>(b), kPathField) == 0;
}

bool sameIgnoringCase(const char* a, const char* b) {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a),
                    reinterpret_cast<const unsigned char*>(b)) == 0;
}

// Numbers the devices that share a friendly name 1, 2, 3, ... in list order.
void numberDuplicates(CArray<tVideoDev, tVideoDev&>& list) {
    for (int i = 0; i < list.GetSize(); ++i) {
        if (list[i].nIndex != 0)
            continue;
        int next = 1;
        for (int j = i + 1; j < list.GetSize(); ++j) {
            if (!sameName(list[i].szFriendlyName, list[j].szFriendlyName))
                continue;
            if (list[i].nIndex == 0)
                list[i].nIndex = next++;
            list[j].nIndex = next++;
        }
    }
}

} // namespace

// A device's path or name that could not be read is an empty field in the list, and such a
// device is never bound by it.
bool findBoundDevice(CArray<tVideoDev, tVideoDev&>& list, const char* path, tVideoDev* found) {
    for (int i = 0; i < list.GetSize(); ++i) {
        const tVideoDev& dev = list[i];
        if (dev.szDevicePath[0] && (!path || !*path || sameIgnoringCase(dev.szDevicePath, path))) {
            *found = dev;
            return true;
        }
    }
    return false;
}

bool findBoundDevice(CArray<tVideoDev, tVideoDev&>& list, const char* name, int index,
                     tVideoDev* found) {
    int seen = 0;
    for (int i = 0; i < list.GetSize(); ++i) {
        const tVideoDev& dev = list[i];
        if (!dev.szFriendlyName[0])
            continue;
        if ((!name || !*name) ||
            (sameIgnoringCase(dev.szFriendlyName, name) && ++seen >= std::max(index, 1))) {
            *found = dev;
            return true;
        }
    }
    return false;
}

int CVideo::GetCaptureDeviceList(CArray<tVideoDev, tVideoDev&>& list) {
    list.RemoveAll();
    HRESULT created;
    ComPtr<IEnumMoniker> monikers = videoInputDevices(&created);
    if (FAILED(created))
        return -1;
    if (!monikers)
        return 0;
    forEachDevice(monikers.Get(), [&](IMoniker*, IPropertyBag* bag) {
        tVideoDev dev{};
        readProperty(bag, u"Description", dev.szDescription, sizeof(dev.szDescription));
        readProperty(bag, u"FriendlyName", dev.szFriendlyName, sizeof(dev.szFriendlyName));
        readProperty(bag, u"DevicePath", dev.szDevicePath, sizeof(dev.szDevicePath));
        list.Add(dev);
        return false;
    });
    numberDuplicates(list);
    return list.GetSize();
}

int CVideo::GetCaptureDeviceList(tVideoDev* list, int max) {
    if (!list || max <= 0)
        return 0;
    CArray<tVideoDev, tVideoDev&> devices;
    const int count = GetCaptureDeviceList(devices);
    const int copied = std::min(std::max(count, 0), max);
    for (int i = 0; i < copied; ++i)
        list[i] = devices[i];
    return copied;
}

CString CVideo::GetDevicePath(const char* friendlyName, int index) {
    CArray<tVideoDev, tVideoDev&> devices;
    if (GetCaptureDeviceList(devices) <= 0)
        return CString();
    if (friendlyName && *friendlyName) {
        for (int i = 0; i < devices.GetSize(); ++i) {
            const tVideoDev& dev = devices[i];
            const bool indexFits =
                index < 0 || (index == 0 && dev.nIndex <= 1) || (index > 0 && dev.nIndex == index);
            if (indexFits && sameName(dev.szFriendlyName, friendlyName))
                return CString(dev.szDevicePath);
        }
    }
    return CString(devices[0].szDevicePath);
}

CString CVideo::GetDeviceFriendlyName(const char* devicePath, int* index) {
    CArray<tVideoDev, tVideoDev&> devices;
    if (GetCaptureDeviceList(devices) <= 0)
        return CString();
    int found = 0;
    if (devicePath && *devicePath) {
        for (int i = 0; i < devices.GetSize(); ++i) {
            if (samePath(devices[i].szDevicePath, devicePath)) {
                found = i;
                break;
            }
        }
    }
    if (index)
        *index = devices[found].nIndex;
    return CString(devices[found].szFriendlyName);
}

CString CVideo::GetDeviceDispName(const char* friendlyName, int index, const char* description) {
    CString text;
    if (index > 0)
        text.Format("%s (%d)", friendlyName ? friendlyName : "", index);
    else
        text = friendlyName;
    if (description && *description) {
        text += " ";
        text += description;
    }
    return text;
}

CString CVideo::GetDeviceDispName(tVideoDev dev) {
    dev.szFriendlyName[sizeof(dev.szFriendlyName) - 1] = '\0';
    dev.szDescription[sizeof(dev.szDescription) - 1] = '\0';
    return GetDeviceDispName(dev.szFriendlyName, dev.nIndex,
                             dev.szDescription[0] ? dev.szDescription : nullptr);
}

CString CVideo::GetDeviceDispName() {
    if (!IsConnect())
        return CString();
    return GetDeviceDispName(m_strFriendlyName, m_nDeviceIndex, nullptr);
}

// Binds the device's filter into m_pSource. The result says whether a device was chosen;
// when its filter could not be made, m_pSource stays null and connecting fails later.
static BOOL bindDevice(IEnumMoniker* monikers, IBaseFilter** source,
                       bool (*matches)(IPropertyBag*, const char* wanted, int& seen, int index),
                       const char* wanted, int index) {
    BOOL bound = FALSE;
    int seen = 0;
    forEachDevice(monikers, [&](IMoniker* moniker, IPropertyBag* bag) {
        if (!matches(bag, wanted, seen, index))
            return false;
        releaseAndClear(*source);
        moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(source));
        bound = TRUE;
        return true;
    });
    return bound;
}

BOOL CVideo::BindCaptureDevice(const char* devicePath) {
    ComPtr<IEnumMoniker> monikers = videoInputDevices();
    if (!monikers)
        return FALSE;
    return bindDevice(
        monikers.Get(), &m_pSource,
        [](IPropertyBag* bag, const char* wanted, int&, int) {
            char path[kPathField] = {};
            // A device whose path cannot be read is never bound by path.
            if (!readProperty(bag, u"DevicePath", path, sizeof(path)))
                return false;
            return !*wanted || sameIgnoringCase(path, wanted);
        },
        devicePath ? devicePath : "", 0);
}

BOOL CVideo::BindCaptureDevice(const char* friendlyName, int index) {
    ComPtr<IEnumMoniker> monikers = videoInputDevices();
    if (!monikers)
        return FALSE;
    return bindDevice(
        monikers.Get(), &m_pSource,
        [](IPropertyBag* bag, const char* wanted, int& seen, int wantedIndex) {
            char name[kNameField] = {};
            if (!readProperty(bag, u"FriendlyName", name, sizeof(name)))
                return false;
            if (!*wanted)
                return true;
            if (!sameIgnoringCase(name, wanted))
                return false;
            // Index 0 or 1 is the first device of that name, n the n-th.
            return ++seen >= std::max(wantedIndex, 1);
        },
        friendlyName ? friendlyName : "", index);
}

// ComObject: reference counting and QueryInterface for objects that implement interfaces.
#pragma once

#include "com.h"
#include "com_ptr.h"

#include <atomic>
#include <tuple>
#include <utility>

namespace platform {

// Implements IUnknown for a class deriving from the listed interfaces. QueryInterface
// answers IUnknown (through the first interface) and each listed interface; a class that
// answers more (base interfaces, aggregated parts) overrides queryOther. Objects start with
// one reference owned by whoever made them (see makeCom) and delete themselves on the last
// Release; counting is atomic, so references may be taken and dropped on any thread.
template <class... Interfaces> class ComObject : public Interfaces... {
public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown) {
            *object = static_cast<IUnknown*>(static_cast<First*>(this));
        } else if (!(findInterface<Interfaces>(riid, object) || ...)) {
            if (HRESULT hr = queryOther(riid, object); FAILED(hr) || !*object)
                return FAILED(hr) ? hr : E_NOINTERFACE;
        }
        static_cast<IUnknown*>(*object)->AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    virtual ~ComObject() = default;
    // Stores an interface pointer (no AddRef: QueryInterface adds it) for ids not listed.
    virtual HRESULT queryOther(REFIID, void**) { return E_NOINTERFACE; }

private:
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
    template <class I> bool findInterface(REFIID riid, void** object) {
        if (riid != uuidof<I>())
            return false;
        *object = static_cast<I*>(this);
        return true;
    }
    std::atomic<ULONG> refs_{1};
};

// Makes a COM object holding its first reference.
template <class T, class... Args> ComPtr<T> makeCom(Args&&... args) {
    return ComPtr<T>::adopt(new T(std::forward<Args>(args)...));
}

// A class factory body for the registry: makes a T and queries it for riid.
template <class T> HRESULT createInstance(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    ComPtr<T> instance = makeCom<T>();
    return instance->QueryInterface(riid, object);
}

} // namespace platform

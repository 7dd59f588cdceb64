// ComPtr: the owning holder of one COM reference, for internal code.
#pragma once

#include "com.h"

#include <utility>

namespace platform {

template <class T> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference to `p`.
    ComPtr(T* p) : p_(p) { addRef(); }
    ComPtr(const ComPtr& other) : p_(other.p_) { addRef(); }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U> ComPtr(const ComPtr<U>& other) : p_(other.Get()) { addRef(); }
    ~ComPtr() { reset(); }

    ComPtr& operator=(const ComPtr& other) {
        ComPtr(other).swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).swap(*this);
        return *this;
    }
    ComPtr& operator=(T* p) {
        ComPtr(p).swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        reset();
        return *this;
    }

    // Adopts a reference the caller already owns (no AddRef).
    static ComPtr adopt(T* p) {
        ComPtr result;
        result.p_ = p;
        return result;
    }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // For out parameters: releases what is held and hands out the slot.
    T** ReleaseAndGetAddressOf() {
        reset();
        return &p_;
    }
    T** GetAddressOf() { return &p_; }
    // Gives up ownership without releasing.
    T* Detach() { return std::exchange(p_, nullptr); }
    void Attach(T* p) {
        reset();
        p_ = p;
    }
    void reset() {
        if (T* p = std::exchange(p_, nullptr))
            p->Release();
    }
    void swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

    // Queries for another interface; the result holds its own reference.
    template <class U> HRESULT As(ComPtr<U>* out) const {
        if (!p_)
            return E_POINTER;
        return p_->QueryInterface(uuidof<U>(),
                                  reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
    }
    template <class U> ComPtr<U> query() const {
        ComPtr<U> out;
        As(&out);
        return out;
    }
    // Hands a new reference to a raw out pointer (the caller owns it).
    HRESULT CopyTo(T** out) const {
        if (!out)
            return E_POINTER;
        *out = p_;
        addRef();
        return S_OK;
    }

private:
    void addRef() const {
        if (p_)
            p_->AddRef();
    }
    T* p_ = nullptr;
};

template <class T, class U> bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) {
    return a.Get() == b.Get();
}
template <class T> bool operator==(const ComPtr<T>& a, std::nullptr_t) {
    return !a;
}

} // namespace platform

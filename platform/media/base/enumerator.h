// Enumerator: the IEnumXxx objects (pins, media types, filters) over a snapshot taken when the
// enumerator is made; each Next hands out new references or new copies.
#pragma once

#include "media/base/media_type.h"

#include <platform/com_object.h>
#include <platform/media/filter_interfaces.h>

#include <vector>

namespace platform::media {

// Policy: how an item is held and how a copy is handed out.
template <class Item, class Out> struct EnumerationPolicy;

template <class I> struct EnumerationPolicy<ComPtr<I>, I*> {
    static bool handOut(const ComPtr<I>& item, I** out) {
        item.CopyTo(out);
        return true;
    }
    static void discard(I* out) { out->Release(); }
};

template <> struct EnumerationPolicy<MediaType, AM_MEDIA_TYPE*> {
    static bool handOut(const MediaType& item, AM_MEDIA_TYPE** out) {
        *out = createMediaType(item.get());
        return *out != nullptr;
    }
    static void discard(AM_MEDIA_TYPE* out) { deleteMediaType(out); }
};

template <class IEnum, class Item, class Out> class Enumerator final : public ComObject<IEnum> {
    using Policy = EnumerationPolicy<Item, Out>;

public:
    explicit Enumerator(std::vector<Item> items, size_t position = 0)
        : items_(std::move(items)), position_(position) {}

    HRESULT Next(ULONG count, Out* out, ULONG* fetched) override {
        if (!out || (count != 1 && !fetched))
            return E_POINTER;
        ULONG given = 0;
        while (given < count && position_ < items_.size()) {
            if (!Policy::handOut(items_[position_], &out[given])) {
                for (ULONG i = 0; i < given; ++i)
                    Policy::discard(out[i]);
                return E_OUTOFMEMORY;
            }
            ++given;
            ++position_;
        }
        if (fetched)
            *fetched = given;
        return given == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        const size_t left = items_.size() - position_;
        position_ += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnum** clone) override {
        if (!clone)
            return E_POINTER;
        *clone = makeCom<Enumerator>(items_, position_).Detach();
        return S_OK;
    }

private:
    std::vector<Item> items_;
    size_t position_;
};

using PinEnumerator = Enumerator<IEnumPins, ComPtr<IPin>, IPin*>;
using MediaTypeEnumerator = Enumerator<IEnumMediaTypes, MediaType, AM_MEDIA_TYPE*>;
using FilterEnumerator = Enumerator<IEnumFilters, ComPtr<IBaseFilter>, IBaseFilter*>;

} // namespace platform::media

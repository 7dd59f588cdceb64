// The filters intelligent connect and Render may insert, as data: class, name, merit and the
// input types each takes.
#pragma once

#include "media/base/media_type.h"

#include <utility>
#include <vector>

namespace platform::media {

inline constexpr DWORD MERIT_PREFERRED = 0x800000;
inline constexpr DWORD MERIT_NORMAL = 0x600000;
inline constexpr DWORD MERIT_UNLIKELY = 0x400000;
inline constexpr DWORD MERIT_DO_NOT_USE = 0x200000;

struct RegisteredFilter {
    enum class Role { Transform, Renderer };
    CLSID clsid;
    const char16_t* name; // the name the graph gives an inserted instance
    DWORD merit;
    Role role;
    // (major type, subtype) pairs the input takes; GUID_NULL matches anything.
    std::vector<std::pair<GUID, GUID>> inputs;
};

// Every entry, highest merit first (ties keep table order).
const std::vector<RegisteredFilter>& registeredFilters();

// Whether the entry's input takes one of the offered types.
bool acceptsAnyOf(const RegisteredFilter& entry, const std::vector<MediaType>& offered);

} // namespace platform::media

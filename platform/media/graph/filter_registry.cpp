// The table of insertable filters.
#include "media/graph/filter_registry.h"

#include <platform/media/file_interfaces.h>
#include <platform/media/filter_classes.h>

#include <algorithm>

namespace platform::media {

namespace {

std::vector<RegisteredFilter> makeTable() {
    using Role = RegisteredFilter::Role;
    std::vector<RegisteredFilter> table = {
        {CLSID_MjpegDec,
         u"MJPEG Decompressor",
         MERIT_NORMAL,
         Role::Transform,
         {{MEDIATYPE_Video, MEDIASUBTYPE_MJPG}}},
        {CLSID_Colour,
         u"Color Space Converter",
         MERIT_UNLIKELY + 1,
         Role::Transform,
         {{MEDIATYPE_Video, MEDIASUBTYPE_YUY2},
          {MEDIATYPE_Video, MEDIASUBTYPE_NV12},
          {MEDIATYPE_Video, MEDIASUBTYPE_I420},
          {MEDIATYPE_Video, MEDIASUBTYPE_IYUV},
          {MEDIATYPE_Video, MEDIASUBTYPE_Y800},
          {MEDIATYPE_Video, MEDIASUBTYPE_RGB24},
          {MEDIATYPE_Video, MEDIASUBTYPE_RGB32}}},
        // Files: the splitter reads a file source's byte stream; the decoder takes whatever
        // compressed video it offers (after the MJPEG decompressor and the converter).
        {CLSID_MediaSplitter,
         u"Media Splitter",
         MERIT_NORMAL,
         Role::Transform,
         {{MEDIATYPE_Stream, GUID_NULL}}},
        {CLSID_VideoDecoder,
         u"Video Decoder",
         MERIT_UNLIKELY,
         Role::Transform,
         {{MEDIATYPE_Video, GUID_NULL}}},
        // RGB video ends in the video renderer, which paces it and shows no window; anything
        // else in a null renderer.
        {CLSID_VideoRenderer,
         u"Video Renderer",
         MERIT_NORMAL,
         Role::Renderer,
         {{MEDIATYPE_Video, MEDIASUBTYPE_RGB24}, {MEDIATYPE_Video, MEDIASUBTYPE_RGB32}}},
        {CLSID_NullRenderer,
         u"Null Renderer",
         MERIT_UNLIKELY,
         Role::Renderer,
         {{GUID_NULL, GUID_NULL}}},
    };
    std::stable_sort(table.begin(), table.end(),
                     [](const auto& a, const auto& b) { return a.merit > b.merit; });
    return table;
}

} // namespace

const std::vector<RegisteredFilter>& registeredFilters() {
    static const std::vector<RegisteredFilter> table = makeTable();
    return table;
}

bool acceptsAnyOf(const RegisteredFilter& entry, const std::vector<MediaType>& offered) {
    for (const auto& [major, subtype] : entry.inputs) {
        for (const auto& type : offered) {
            AM_MEDIA_TYPE wanted{};
            wanted.majortype = major;
            wanted.subtype = subtype;
            if (matchesPartial(wanted, type.get()))
                return true;
        }
    }
    return false;
}

} // namespace platform::media

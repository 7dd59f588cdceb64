// Releasing media types the platform hands out: the contents of a caller's structure, or a
// whole CoTaskMemAlloc'd type.
#pragma once

#include <platform/media/media_types.h>

// Frees the format block (when its size is not 0) and releases pUnk, clearing both.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// For a non-null type: FreeMediaType, then CoTaskMemFree of the structure itself.
void DeleteMediaType(AM_MEDIA_TYPE* mt);

// The turn a file asks its pictures to be shown with (a display matrix, as phones write
// into MP4 and MOV): the media splitter answers it, the video decoder turns the pictures, so
// every later filter sees them upright and at their displayed size.
#pragma once

#include <platform/com.h>

struct IDisplayRotation : IUnknown {
    // Clockwise degrees: 0, 90, 180 or 270.
    virtual HRESULT GetRotation(int* degrees) = 0;
};
DEFINE_INTERFACE_IID(IDisplayRotation, 0x142f2743, 0x5c7f, 0x47f2, 0x94, 0xeb, 0xdb, 0x67, 0x2a,
                     0x81, 0x35, 0xaf);

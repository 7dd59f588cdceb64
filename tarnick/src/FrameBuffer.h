// AllocFrameBuffer: an empty frame buffer (header, colour table, rows) for a frame format.
#pragma once

#include <platform/wintypes.h>

// A block laid out as a packed frame: the 40-byte header copied unchanged, the colour table
// (2, 16 or 256 entries for 1-, 4- and 8-bit formats, copied from the 40 bytes that follow the
// given header, which must then be there), and room for stride x height bytes of rows, left
// uninitialised. Allocated with malloc, released with free or CVideo::ReleaseBitmap. Null for
// a null header and for sizes that name no picture (width or height 0 or less, or rows that
// do not fit 32 bits), instead of a block too small for the frames to come.
BITMAPINFO* AllocFrameBuffer(const BITMAPINFOHEADER* header);

// Bytes of colour table AllocFrameBuffer gives a format.
int FrameBufferColourBytes(const BITMAPINFOHEADER& header);

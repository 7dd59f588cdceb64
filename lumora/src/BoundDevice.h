// Which listed device a binding call binds: the same rule as BindCaptureDevice, applied to
// the device list, so a connection records the identity of the device it actually bound.
#pragma once

#include "lumora/Video.h"

// The record of the first device whose path equals `path` ignoring case (any device with a
// path when `path` is empty). False when none does.
bool findBoundDevice(CArray<tVideoDev, tVideoDev&>& list, const char* path, tVideoDev* found);
// The record of the device named `name` ignoring case that comes `index`-th (0 and 1: the
// first) among those names (the first device with a name when `name` is empty).
bool findBoundDevice(CArray<tVideoDev, tVideoDev&>& list, const char* name, int index,
                     tVideoDev* found);

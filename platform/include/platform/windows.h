// The whole base of the platform layer in one include.
#pragma once

#include "carray.h"
#include "com.h"
#include "com_ptr.h"
#include "cstring.h"
#include "hresult.h"
#include "kernel.h"
#include "profile.h"
#include "text.h"
#include "wintypes.h"

// Symbol visibility for libplatform: only what is marked PLATFORM_API leaves the library.
#pragma once

#if defined(PLATFORM_BUILDING)
#define PLATFORM_API __attribute__((visibility("default")))
#else
#define PLATFORM_API
#endif

// Private-profile (INI) functions with the documented Windows behaviour.
#pragma once

#include "api.h"
#include "wintypes.h"

#include <string>

extern "C" {

// Reads a value (section and key matched without regard to case, surrounding blanks and one
// pair of enclosing quotes removed). With a null section it lists the section names, with a
// null key the key names of the section, each NUL-terminated and the list ended by a second
// NUL. A missing file, section or key gives the default (null: empty) without its trailing
// blanks. Returns the characters copied without the NUL; a cut value returns size - 1, a
// cut list size - 2. A bare file name lives in $XDG_CONFIG_HOME (else ~/.config).
PLATFORM_API DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                            LPSTR returned, DWORD size, LPCSTR fileName);

// Writes section/key=value, creating file, section and key as needed and keeping every other
// line as it was. A null key deletes the section, a null value deletes the key. The new file
// replaces the old one atomically (temporary file + rename). Names or values that would break
// the file's structure (line breaks, '=' in a key, ']' in a section) are refused.
// Returns nonzero on success, 0 on failure (see GetLastError).
PLATFORM_API BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                             LPCSTR fileName);

} // extern "C"

namespace platform {

// Where a profile file name resolves to: as given when it holds a '/', else inside the
// user's configuration folder.
PLATFORM_API std::string resolveProfilePath(const char* fileName);

} // namespace platform

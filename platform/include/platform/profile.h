// Private-profile (INI) functions with the documented Windows behaviour.
#pragma once

#include "api.h"
#include "hresult.h"
#include "wintypes.h"

#include <string>

extern "C" {

// Reads a value (section and key matched without regard to ASCII case, surrounding blanks and
// one pair of enclosing quotes, single or double, removed). With a null section it lists the
// section names, with a null key the key names of the section (each name once, in file
// order), each NUL-terminated and the list ended by a second NUL; a missing section lists
// nothing. A missing file, section or key gives the default (null: empty) without its
// trailing blanks; a key present with an empty value gives "" and 0. Where a section or key
// repeats, the first one counts.
// Returns the characters copied without the NUL; a cut value returns size - 1, a cut list
// size - 2 (a cut never splits a UTF-8 character: the bytes it leaves out are zeroed). A null
// `returned` or a size of 0 returns 0 (ERROR_INVALID_PARAMETER).
// A bare file name lives in $XDG_CONFIG_HOME (else ~/.config). Files over 1 MiB are not read
// (the default is given, ERROR_FILE_TOO_LARGE); a missing file sets ERROR_FILE_NOT_FOUND.
PLATFORM_API DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                            LPSTR returned, DWORD size, LPCSTR fileName);

// Writes section/key=value, creating file, section and key as needed and keeping every other
// line byte for byte (comments, spacing, blank lines, line endings, a UTF-8 byte-order mark).
// A null key deletes the section, a null value deletes the key. The new file replaces the old
// one atomically (temporary file, fsync, rename) with the old file's permission bits; the
// file's folder must exist, except the configuration folder of a bare name, which is created.
// Refused with ERROR_INVALID_PARAMETER and the file untouched: names or values that would
// break the file's structure (a line break anywhere, ']' in a section, '=' in a key, a key
// that is blank or starts with '[', ';' or '#'). A file over 1 MiB is not rewritten
// (ERROR_FILE_TOO_LARGE). All four arguments null flushes nothing (every write is already on
// disk) and succeeds. Thread-safe; concurrent writers in other processes are not serialised
// (the last rename wins, no file is ever torn).
// Returns nonzero on success, 0 on failure (see GetLastError).
PLATFORM_API BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                             LPCSTR fileName);

} // extern "C"

namespace platform {

// Where a profile file name resolves to: as given when it holds a '/', else inside the
// user's configuration folder ($XDG_CONFIG_HOME when absolute, else $HOME/.config). Empty
// when there is no such place, or the name is empty, "." or "..".
PLATFORM_API std::string resolveProfilePath(const char* fileName);

} // namespace platform

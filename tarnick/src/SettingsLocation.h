// Which settings file the program reads and writes, and the checks around it: a file chosen
// on the command line that cannot be read, and a file that may not be written.
#pragma once

#include <string>

namespace settingslocation {

// The file chosen with --settings (an absolute path), before the window is made; empty keeps
// the usual file. Set once, on the window thread, before any settings are read.
void choose(std::string path);
const std::string& chosen();

// Why a settings file that exists cannot be read ("" when it can be, or is missing: a missing
// file starts from the defaults).
std::string readProblem(const std::string& path);

// Writes one key as the profile functions do, unless the file may not be written: a file
// whose write permission is removed (for everyone, root included) is the user's "keep as it
// is". A refused or failed write is reported once on standard error; the program goes on
// with its settings in memory. A missing file's folder is made first.
void writeKey(const char* section, const char* key, const char* value, const char* path);

} // namespace settingslocation

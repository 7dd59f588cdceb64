// Bounded reading and atomic replacement of a profile file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace platform::profile {

// Files larger than this are outside input we refuse to hold: reads give the defaults and
// writes fail, rather than cutting the user's file.
inline constexpr size_t kMaxFileSize = size_t{1} << 20;

enum class ReadStatus { Ok, Missing, TooLarge, Unreadable };

struct FileContents {
    ReadStatus status = ReadStatus::Missing;
    int error = 0;       // errno when Unreadable
    std::string text;    // when Ok
    struct stat info {}; // when Ok: mode and owner to carry over to the new file
};

// Reads a regular file whole, never more than kMaxFileSize bytes (a file that grows past the
// bound while being read is TooLarge too). FIFOs, devices and directories are Unreadable.
FileContents readProfileFile(const std::string& path);

// Replaces `path` with `text`: writes a temporary file in the same directory (mkstemp),
// fsyncs it, gives it the old file's permission bits (or 0666 less the umask for a new file)
// and renames it over `path`, so a crash leaves either the old file or the new one, never a
// mix. A symbolic link is followed: its target is replaced, the link stays. Returns 0 or an
// errno value; on failure the temporary file is removed and `path` is untouched.
int replaceProfileFile(const std::string& path, std::string_view text, const struct stat* old);

// Creates `dir` and any missing parents (mode 0700, as the XDG base directory rules ask).
int makeDirectories(const std::string& dir);

} // namespace platform::profile

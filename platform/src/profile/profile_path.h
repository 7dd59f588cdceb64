// Where bare profile file names live: the user's configuration folder.
#pragma once

#include <string>

namespace platform::profile {

// The user's configuration folder, or empty when there is none to be found.
std::string configDirectory();

// A name without '/', which resolveProfilePath places in configDirectory().
bool isBareName(const char* fileName);

} // namespace platform::profile

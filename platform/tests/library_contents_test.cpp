// What the installed libplatform.so carries: no test-only code (the simulated V4L2 devices live
// in a test library), checked in the built file itself.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string libraryBytes() {
    std::ifstream file(PLATFORM_SHARED_LIBRARY, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(PlatformLibrary, CarriesNoSimulatedDevices) {
    const std::string bytes = libraryBytes();
    ASSERT_GT(bytes.size(), 100000u) << PLATFORM_SHARED_LIBRARY;
    // Symbol names, type names and debug strings of the simulation all contain these.
    for (const char* name : {"SimulatedV4l2", "uvcCamera", "metadataNode", "SimDeviceSpec"})
        EXPECT_EQ(bytes.find(name), std::string::npos) << name;
    // The real V4L2 layer is there, so the search reads the right file.
    EXPECT_NE(bytes.find("registerV4l2Provider"), std::string::npos);
}

} // namespace

// The program as a process: the desktop's ending signals and a settings file shipped beside
// a program whose folder cannot be written.
#include "ProgramProcess.h"

#include <platform/profile.h>

#include <gtest/gtest.h>

namespace {

using testsupport::ProgramProcess;
using testsupport::readFile;
using testsupport::writeFile;

std::string valueIn(const std::string& file, const char* section, const char* key) {
    char value[256];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof(value), file.c_str());
    return value;
}

TEST(ProgramProcess, EndingSignalsEndTheProgramThroughItsTeardown) {
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        ProgramProcess program;
        ASSERT_TRUE(program.start());
        ASSERT_TRUE(program.waitUntilCatchingEndingSignals());
        const auto status = program.stop(signo);
        ASSERT_TRUE(status.has_value()) << "the program did not end";
        ASSERT_TRUE(WIFEXITED(*status)) << "killed by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        // The teardown's final save wrote every key.
        const std::string file = program.besideSettings();
        EXPECT_EQ(valueIn(file, "NETWORK", "CONNECT_PORT"), "7373");
        EXPECT_EQ(valueIn(file, "NETWORK", "CONNECT_HOST"), "localhost");
        EXPECT_EQ(valueIn(file, "CONFIG", "AUTO_START"), "0");
        EXPECT_EQ(valueIn(file, "VIDEO", "FRAME_PER_SEC"), "15");
        EXPECT_EQ(valueIn(file, "DEVICE", "DEVICE_INDEX"), "0");
    }
}

TEST(ProgramProcess, SettingsBesideAReadOnlyProgramAreReadAndTheUsersCopyIsPreferredAfter) {
    ProgramProcess program;
    const std::string preset = "[NETWORK]\nCONNECT_HOST=camera-host\nCONNECT_PORT=7474\n"
                               "[DEVICE]\nFRIENDLY_NAME=Preset Cam\n";
    writeFile(program.besideSettings(), preset);

    ASSERT_TRUE(program.start(/*readOnly=*/true));
    ASSERT_TRUE(program.waitUntilCatchingEndingSignals());
    auto status = program.stop(SIGTERM);
    ASSERT_TRUE(status && WIFEXITED(*status));

    // The preset was read, and what the program saved went to the user's copy.
    EXPECT_EQ(readFile(program.besideSettings()), preset);
    EXPECT_EQ(valueIn(program.userSettings(), "NETWORK", "CONNECT_PORT"), "7474");
    EXPECT_EQ(valueIn(program.userSettings(), "NETWORK", "CONNECT_HOST"), "camera-host");
    EXPECT_EQ(valueIn(program.userSettings(), "DEVICE", "FRIENDLY_NAME"), "Preset Cam");
    EXPECT_EQ(valueIn(program.userSettings(), "VIDEO", "WIDTH"), "320");

    // The user's own change survives the next run: the user's copy is the one read now.
    ASSERT_TRUE(WritePrivateProfileStringA("NETWORK", "CONNECT_PORT", "7575",
                                           program.userSettings().c_str()));
    ASSERT_TRUE(program.start(/*readOnly=*/true));
    ASSERT_TRUE(program.waitUntilCatchingEndingSignals());
    status = program.stop(SIGTERM);
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(valueIn(program.userSettings(), "NETWORK", "CONNECT_PORT"), "7575");
    EXPECT_EQ(readFile(program.besideSettings()), preset);
}

} // namespace

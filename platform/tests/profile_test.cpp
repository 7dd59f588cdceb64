// Tests of the private-profile (INI) functions against real files in scratch folders.
#include "platform/hresult.h"
#include "platform/profile.h"
#include "platform/text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/profile_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        file_ = dir_ + "/Tarnick.ini";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static void writeText(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    static std::string readText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    static ino_t inodeOf(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }

    // GetPrivateProfileStringA into a fresh buffer; the result and the string copied.
    std::pair<DWORD, std::string> get(const char* section, const char* key,
                                      const char* def = "<default>", DWORD size = 256) const {
        std::vector<char> buffer(size, '#');
        const DWORD n =
            GetPrivateProfileStringA(section, key, def, buffer.data(), size, file_.c_str());
        return {n, std::string(buffer.data())};
    }
    // A double-NUL-terminated list as names; the raw result too.
    std::pair<DWORD, std::vector<std::string>> list(const char* section, DWORD size = 256) const {
        std::vector<char> buffer(size, '#');
        const DWORD n = GetPrivateProfileStringA(section, nullptr, "unused", buffer.data(), size,
                                                 file_.c_str());
        std::vector<std::string> names;
        for (const char* p = buffer.data(); *p != '\0'; p += std::strlen(p) + 1) {
            names.emplace_back(p);
        }
        return {n, names};
    }
    BOOL put(const char* section, const char* key, const char* value) const {
        return WritePrivateProfileStringA(section, key, value, file_.c_str());
    }

    std::string dir_;
    std::string file_;
};

// A settings file as a person might write it: CRLF line endings, comments of both kinds,
// odd spacing and blank lines, a key without a value, and no final line ending missing.
const std::string kHandWritten = "; Tarnick settings\r\n"
                                 "# edited by hand\r\n"
                                 "\r\n"
                                 "[NETWORK]\r\n"
                                 "  CONNECT_HOST =  camera-host.local  \r\n"
                                 "CONNECT_PORT=7373\r\n"
                                 "\r\n"
                                 "; where the camera is\r\n"
                                 "  [ DEVICE ]  \r\n"
                                 "DEVICE_PATH\t=\t/dev/video0\r\n"
                                 "FRIENDLY_NAME = \"USB Camera\"\r\n"
                                 "DEVICE_INDEX=\r\n"
                                 "\r\n"
                                 "; trailing comment of DEVICE\r\n"
                                 "\r\n"
                                 "[VIDEO]\r\n"
                                 "WIDTH=640\r\n";

} // namespace

TEST_F(ProfileTest, WritingOneKeyChangesOnlyThatLine) {
    writeText(file_, kHandWritten);
    ASSERT_TRUE(put("network", "connect_port", "8080"));
    std::string expected = kHandWritten;
    expected.replace(expected.find("CONNECT_PORT=7373"), 17, "CONNECT_PORT=8080");
    EXPECT_EQ(readText(file_), expected);

    // A key with surrounding blanks is rewritten as key=value in its own spelling.
    ASSERT_TRUE(put("NETWORK", "CONNECT_HOST", "localhost"));
    expected.replace(expected.find("  CONNECT_HOST =  camera-host.local  "), 37,
                     "CONNECT_HOST=localhost");
    EXPECT_EQ(readText(file_), expected);

    // Writing the value it already has leaves the file alone (not even replaced).
    const ino_t inode = inodeOf(file_);
    ASSERT_TRUE(put("NETWORK", "CONNECT_HOST", "localhost"));
    EXPECT_EQ(inodeOf(file_), inode);
}

TEST_F(ProfileTest, NewKeyGoesAfterTheLastKeyOfItsSection) {
    writeText(file_, kHandWritten);
    ASSERT_TRUE(put("DEVICE", "EXTRA", "1"));
    std::string expected = kHandWritten;
    expected.insert(expected.find("DEVICE_INDEX=\r\n") + 15, "EXTRA=1\r\n");
    EXPECT_EQ(readText(file_), expected);
}

TEST_F(ProfileTest, NewSectionIsAppendedAfterABlankLineInTheFilesLineEndings) {
    writeText(file_, kHandWritten);
    ASSERT_TRUE(put("CONFIG", "AUTO_START", "1"));
    EXPECT_EQ(readText(file_), kHandWritten + "\r\n[CONFIG]\r\nAUTO_START=1\r\n");

    // A file without a final line ending, in LF: the last line is ended, then a blank line.
    writeText(file_, "[A]\nx=1");
    ASSERT_TRUE(put("B", "y", "2"));
    EXPECT_EQ(readText(file_), "[A]\nx=1\n\n[B]\ny=2\n");
    // A new key after a last line without a line ending.
    writeText(file_, "[A]\nx=1");
    ASSERT_TRUE(put("A", "z", "3"));
    EXPECT_EQ(readText(file_), "[A]\nx=1\nz=3\n");
}

TEST_F(ProfileTest, CreatesTheFileSectionAndKey) {
    ASSERT_TRUE(put("NETWORK", "CONNECT_PORT", "7373"));
    ASSERT_TRUE(put("NETWORK", "CONNECT_HOST", "localhost"));
    ASSERT_TRUE(put("VIDEO", "WIDTH", "320"));
    EXPECT_EQ(readText(file_),
              "[NETWORK]\nCONNECT_PORT=7373\nCONNECT_HOST=localhost\n\n[VIDEO]\nWIDTH=320\n");
    EXPECT_EQ(get("VIDEO", "WIDTH"), std::make_pair(DWORD{3}, std::string("320")));
}

TEST_F(ProfileTest, ByteOrderMarkIsReadPastAndKept) {
    writeText(file_, "\xEF\xBB\xBF[NETWORK]\nCONNECT_PORT=1\n");
    EXPECT_EQ(get("NETWORK", "CONNECT_PORT").second, "1");
    ASSERT_TRUE(put("NETWORK", "CONNECT_PORT", "2"));
    EXPECT_EQ(readText(file_), "\xEF\xBB\xBF[NETWORK]\nCONNECT_PORT=2\n");
}

TEST_F(ProfileTest, ReadsMatchWithoutCaseAndTrimBlanksAndQuotes) {
    writeText(file_, kHandWritten);
    EXPECT_EQ(get("network", "connect_host"),
              std::make_pair(DWORD{17}, std::string("camera-host.local")));
    EXPECT_EQ(get("Device", "Device_Path").second, "/dev/video0");
    EXPECT_EQ(get("DEVICE", "FRIENDLY_NAME").second, "USB Camera");
    EXPECT_EQ(get(" DEVICE ", " FRIENDLY_NAME ").second, "USB Camera");

    writeText(file_, "[Q]\nsingle='a b'\nmixed=\"a b'\nlone=\"\ninner=a \"b\" c\nempty=\"\"\n");
    EXPECT_EQ(get("Q", "single").second, "a b");
    EXPECT_EQ(get("Q", "mixed").second, "\"a b'");
    EXPECT_EQ(get("Q", "lone").second, "\"");
    EXPECT_EQ(get("Q", "inner").second, "a \"b\" c");
    EXPECT_EQ(get("Q", "empty"), std::make_pair(DWORD{0}, std::string()));
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefaultWithoutTrailingBlanks) {
    SetLastError(0);
    EXPECT_EQ(get("NETWORK", "CONNECT_PORT", "7373  \t"),
              std::make_pair(DWORD{4}, std::string("7373")));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    writeText(file_, kHandWritten);
    EXPECT_EQ(get("NOPE", "CONNECT_PORT", "  lead").second, "  lead");
    EXPECT_EQ(get("NETWORK", "NOPE", "x").second, "x");
    EXPECT_EQ(get("NETWORK", "NOPE", nullptr), std::make_pair(DWORD{0}, std::string()));
    // Keys of another section or before any section are not found.
    EXPECT_EQ(get("NETWORK", "WIDTH", "d").second, "d");
    writeText(file_, "orphan=1\n[S]\n");
    EXPECT_EQ(get("S", "orphan", "d").second, "d");
}

TEST_F(ProfileTest, PresentEmptyValueCopiesNothingAndReturnsZero) {
    writeText(file_, kHandWritten);
    // The program keeps its member when 0 comes back; the default must not leak in.
    EXPECT_EQ(get("DEVICE", "DEVICE_INDEX", "5"), std::make_pair(DWORD{0}, std::string()));
}

TEST_F(ProfileTest, FirstOfDuplicateSectionsAndKeysWins) {
    writeText(file_, "[A]\nk=first\nk=second\n[a]\nk=third\nonly=later\n");
    EXPECT_EQ(get("A", "k").second, "first");
    EXPECT_EQ(get("A", "only", "d").second, "d");
    ASSERT_TRUE(put("A", "K", "new"));
    EXPECT_EQ(readText(file_), "[A]\nk=new\nk=second\n[a]\nk=third\nonly=later\n");
}

TEST_F(ProfileTest, CutValueReturnsSizeMinusOneWithoutSplittingACharacter) {
    writeText(file_, "[S]\nk=abcdef\nj=\xE6\x97\xA5\xE6\x9C\xAC\n");
    EXPECT_EQ(get("S", "k", "", 4), std::make_pair(DWORD{3}, std::string("abc")));
    EXPECT_EQ(get("S", "k", "", 7), std::make_pair(DWORD{6}, std::string("abcdef")));
    EXPECT_EQ(get("S", "k", "", 1), std::make_pair(DWORD{0}, std::string()));
    // 5 bytes of room: one whole character (3 bytes); still reported as cut (size - 1).
    EXPECT_EQ(get("S", "j", "", 6), std::make_pair(DWORD{5}, std::string("\xE6\x97\xA5")));
    // The default is cut the same way.
    EXPECT_EQ(get("S", "nope", "defaults", 5), std::make_pair(DWORD{4}, std::string("defa")));
}

TEST_F(ProfileTest, NullReturnBufferOrSizeZeroReturnsZero) {
    writeText(file_, kHandWritten);
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(GetPrivateProfileStringA("NETWORK", "CONNECT_PORT", "d", nullptr, 16, file_.c_str()),
              0u);
    EXPECT_EQ(GetPrivateProfileStringA("NETWORK", "CONNECT_PORT", "d", buffer, 0, file_.c_str()),
              0u);
    EXPECT_EQ(buffer[0], '#');
}

TEST_F(ProfileTest, ListsSectionsAndKeys) {
    writeText(file_, kHandWritten + "[network]\nlater=1\n");
    auto [n, sections] = list(nullptr);
    EXPECT_EQ(sections, (std::vector<std::string>{"NETWORK", "DEVICE", "VIDEO"}));
    EXPECT_EQ(n, std::string("NETWORK\0DEVICE\0VIDEO\0", 21).size());
    auto [k, keys] = list("device");
    EXPECT_EQ(keys, (std::vector<std::string>{"DEVICE_PATH", "FRIENDLY_NAME", "DEVICE_INDEX"}));
    EXPECT_EQ(k, 12u + 14u + 13u);
    EXPECT_EQ(list("NOPE"), std::make_pair(DWORD{0}, std::vector<std::string>{}));
    std::filesystem::remove(file_);
    EXPECT_EQ(list(nullptr), std::make_pair(DWORD{0}, std::vector<std::string>{}));
}

TEST_F(ProfileTest, CutListEndsInTwoNulsAndReturnsSizeMinusTwo) {
    writeText(file_, "[NETWORK]\n[DEVICE]\n[VIDEO]\n");
    std::vector<char> buffer(12, '#');
    // "NETWORK\0DEVICE\0VIDEO\0\0" needs 22; 12 holds "NETWORK\0DEV" cut + "\0\0".
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer.data(), 12, file_.c_str()),
              10u);
    EXPECT_EQ(std::string(buffer.data(), 12), std::string("NETWORK\0DE\0\0", 12));
    // Exactly enough room is not a cut.
    std::vector<char> exact(22, '#');
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", exact.data(), 22, file_.c_str()), 21u);
    EXPECT_EQ(std::string(exact.data(), 22), std::string("NETWORK\0DEVICE\0VIDEO\0\0", 22));
}

TEST_F(ProfileTest, NullValueDeletesTheKeyNullKeyDeletesTheSection) {
    writeText(file_, kHandWritten);
    ASSERT_TRUE(put("device", "friendly_name", nullptr));
    std::string expected = kHandWritten;
    expected.erase(expected.find("FRIENDLY_NAME"),
                   std::strlen("FRIENDLY_NAME = \"USB Camera\"\r\n"));
    EXPECT_EQ(readText(file_), expected);
    EXPECT_EQ(get("DEVICE", "FRIENDLY_NAME", "gone").second, "gone");

    ASSERT_TRUE(put("Device", nullptr, nullptr));
    const size_t from = expected.find("  [ DEVICE ]");
    expected.erase(from, expected.find("[VIDEO]") - from);
    EXPECT_EQ(readText(file_), expected);
    EXPECT_EQ(list(nullptr).second, (std::vector<std::string>{"NETWORK", "VIDEO"}));

    // Deleting what is not there succeeds and creates nothing.
    const std::string other = dir_ + "/other.ini";
    EXPECT_TRUE(WritePrivateProfileStringA("S", "k", nullptr, other.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("S", nullptr, nullptr, other.c_str()));
    EXPECT_FALSE(std::filesystem::exists(other));
}

TEST_F(ProfileTest, UnsafeNamesAndValuesAreRefusedAndTheFileIsUntouched) {
    writeText(file_, kHandWritten);
    const ino_t inode = inodeOf(file_);
    struct Case {
        const char* what;
        const char* section;
        const char* key;
        const char* value;
    };
    const std::vector<Case> cases = {
        {"']' in section", "NET]WORK", "k", "v"},
        {"LF in section", "NET\nWORK", "k", "v"},
        {"CR in section", "NET\rWORK", "k", "v"},
        {"']' in section deletion", "A]", nullptr, nullptr},
        {"'=' in key", "NETWORK", "CONNECT=PORT", "v"},
        {"LF in key", "NETWORK", "A\nB", "v"},
        {"empty key", "NETWORK", "", "v"},
        {"blank key", "NETWORK", " \t ", "v"},
        {"key like a header", "NETWORK", "[VIDEO]", "v"},
        {"key like a comment", "NETWORK", ";k", "v"},
        {"key like a # comment", "NETWORK", "#k", "v"},
        {"LF in value", "NETWORK", "CONNECT_HOST", "a\n[EVIL]\nx=1"},
        {"CR in value", "NETWORK", "CONNECT_HOST", "a\rb"},
        {"'=' in key deletion", "NETWORK", "a=b", nullptr},
        {"null section", nullptr, "k", "v"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_FALSE(put(c.section, c.key, c.value));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(readText(file_), kHandWritten);
    EXPECT_EQ(inodeOf(file_), inode);
    EXPECT_EQ(entries(), std::vector<std::string>{"Tarnick.ini"});
}

TEST_F(ProfileTest, WriteReplacesTheFileAtomicallyAndKeepsItsMode) {
    writeText(file_, kHandWritten);
    ASSERT_EQ(chmod(file_.c_str(), 0640), 0);
    const ino_t before = inodeOf(file_);
    ASSERT_TRUE(put("VIDEO", "HEIGHT", "480"));
    // A new inode: the old file was renamed over, never rewritten in place.
    EXPECT_NE(inodeOf(file_), before);
    // The temporary file is gone.
    EXPECT_EQ(entries(), std::vector<std::string>{"Tarnick.ini"});
    struct stat st {};
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // Someone holding the old file still reads the old text whole.
    EXPECT_EQ(get("VIDEO", "HEIGHT").second, "480");
}

TEST_F(ProfileTest, NewFileGetsTheUsualModeLessTheUmask) {
    const mode_t mask = umask(027);
    ASSERT_TRUE(put("S", "k", "v"));
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ProfileTest, SymbolicLinkIsFollowedAndKept) {
    const std::string target = dir_ + "/real.ini";
    writeText(target, "[S]\nk=1\n");
    ASSERT_EQ(symlink("real.ini", file_.c_str()), 0);
    ASSERT_TRUE(put("S", "k", "2"));
    EXPECT_TRUE(std::filesystem::is_symlink(file_));
    EXPECT_EQ(readText(target), "[S]\nk=2\n");
}

TEST_F(ProfileTest, WriteIntoAMissingFolderFails) {
    const std::string missing = dir_ + "/no/such/Tarnick.ini";
    SetLastError(0);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", missing.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/no"));
}

TEST_F(ProfileTest, OversizeFileIsNeitherReadNorRewritten) {
    std::string big = "[NETWORK]\nCONNECT_PORT=1\n; ";
    big.append((1u << 20), 'x');
    writeText(file_, big);
    SetLastError(0);
    EXPECT_EQ(get("NETWORK", "CONNECT_PORT", "7373").second, "7373");
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(list(nullptr).second, std::vector<std::string>{});
    SetLastError(0);
    EXPECT_FALSE(put("NETWORK", "CONNECT_PORT", "2"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(readText(file_), big);
}

TEST_F(ProfileTest, LongLinesUpToTheBoundAreRead) {
    // One line of most of a megabyte: read whole, then cut to the caller's buffer.
    const std::string value((1u << 20) - 64, 'v');
    writeText(file_, "[S]\nlong=" + value + "\nafter=ok\n");
    EXPECT_EQ(get("S", "after").second, "ok");
    EXPECT_EQ(get("S", "long", "", 256), std::make_pair(DWORD{255}, std::string(255, 'v')));
    // A write that would push the file past the bound fails and keeps it.
    const std::string before = readText(file_);
    EXPECT_FALSE(put("S", "more", std::string(100, 'm').c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(readText(file_), before);
}

TEST_F(ProfileTest, ConcurrentWritersToDifferentKeysAllLand) {
    constexpr int kThreads = 4;
    constexpr int kKeys = 25;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kKeys; ++i) {
                const std::string key = "T" + std::to_string(t) + "_" + std::to_string(i);
                EXPECT_TRUE(put(t % 2 == 0 ? "EVEN" : "ODD", key.c_str(), key.c_str()));
            }
        });
    }
    for (std::thread& w : writers) {
        w.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kKeys; ++i) {
            const std::string key = "T" + std::to_string(t) + "_" + std::to_string(i);
            EXPECT_EQ(get(t % 2 == 0 ? "EVEN" : "ODD", key.c_str()).second, key);
        }
    }
    EXPECT_EQ(list("EVEN", 4096).second.size(), 2u * kKeys);
    EXPECT_EQ(entries(), std::vector<std::string>{"Tarnick.ini"});
}

// Bare names resolve into the user's configuration folder; the environment is restored.
class ProfilePathTest : public ProfileTest {
protected:
    void SetUp() override {
        ProfileTest::SetUp();
        save("XDG_CONFIG_HOME", xdg_);
        save("HOME", home_);
    }
    void TearDown() override {
        restore("XDG_CONFIG_HOME", xdg_);
        restore("HOME", home_);
        ProfileTest::TearDown();
    }

private:
    static void save(const char* name, std::optional<std::string>& slot) {
        const char* value = std::getenv(name);
        slot = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    static void restore(const char* name, const std::optional<std::string>& slot) {
        if (slot) {
            setenv(name, slot->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    std::optional<std::string> xdg_;
    std::optional<std::string> home_;
};

TEST_F(ProfilePathTest, BareNameLivesInXdgConfigHomeWhichIsCreated) {
    const std::string config = dir_ + "/xdg/config";
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", config.c_str(), 1), 0);
    EXPECT_EQ(platform::resolveProfilePath("Tarnick.ini"), config + "/Tarnick.ini");
    EXPECT_TRUE(WritePrivateProfileStringA("NETWORK", "CONNECT_PORT", "7373", "Tarnick.ini"));
    EXPECT_EQ(readText(config + "/Tarnick.ini"), "[NETWORK]\nCONNECT_PORT=7373\n");
    char buffer[16];
    EXPECT_EQ(GetPrivateProfileStringA("NETWORK", "CONNECT_PORT", "", buffer, 16, "Tarnick.ini"),
              4u);
    EXPECT_STREQ(buffer, "7373");
    struct stat st {};
    ASSERT_EQ(stat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(ProfilePathTest, RelativeXdgConfigHomeIsIgnoredForHomeDotConfig) {
    ASSERT_EQ(setenv("XDG_CONFIG_HOME", "relative/dir", 1), 0);
    ASSERT_EQ(setenv("HOME", dir_.c_str(), 1), 0);
    EXPECT_EQ(platform::resolveProfilePath("Tarnick.ini"), dir_ + "/.config/Tarnick.ini");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(platform::resolveProfilePath("Tarnick.ini"), dir_ + "/.config/Tarnick.ini");
    EXPECT_TRUE(WritePrivateProfileStringA("S", "k", "v", "Tarnick.ini"));
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/.config/Tarnick.ini"));
}

TEST_F(ProfilePathTest, NamesWithASlashAreTakenAsGiven) {
    EXPECT_EQ(platform::resolveProfilePath("./Tarnick.ini"), "./Tarnick.ini");
    EXPECT_EQ(platform::resolveProfilePath("/etc/x.ini"), "/etc/x.ini");
    EXPECT_EQ(platform::resolveProfilePath(""), "");
    EXPECT_EQ(platform::resolveProfilePath(".."), "");
    EXPECT_EQ(platform::resolveProfilePath(nullptr), "");
}

namespace {

// A file of exactly `size` bytes: section S with k=1, padded by a comment line.
std::string fileOfSize(size_t size) {
    std::string text = "[S]\nk=1\n;";
    text.append(size - text.size() - 1, 'p');
    text += '\n';
    return text;
}

} // namespace

TEST_F(ProfileTest, AFileOfExactlyTheMaximumSizeIsReadAndRewritten) {
    const size_t limit = size_t{1} << 20;
    writeText(file_, fileOfSize(limit));
    EXPECT_EQ(get("S", "k").second, "1");
    // The same length again still fits; one byte more does not, and the file stays.
    ASSERT_TRUE(put("S", "k", "2"));
    EXPECT_EQ(std::filesystem::file_size(file_), limit);
    EXPECT_EQ(get("S", "k").second, "2");
    SetLastError(0);
    EXPECT_FALSE(put("S", "k", "22"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(get("S", "k").second, "2");
    // One byte over the bound is not read at all.
    writeText(file_, fileOfSize(limit + 1));
    EXPECT_EQ(get("S", "k").second, "<default>");
    EXPECT_EQ(entries(), std::vector<std::string>{"Tarnick.ini"});
}

TEST_F(ProfileTest, AWriteThatFailsAfterItsTemporaryFileExistsLeavesNoTemporaryFile) {
    writeText(file_, kHandWritten);
    // Files this process writes may not grow past 256 bytes: writing the new text into the
    // temporary file fails with EFBIG once that file exists.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const BOOL written = put("VIDEO", "LONG", std::string(400, 'x').c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_NE(GetLastError(), DWORD{0});
    EXPECT_EQ(readText(file_), kHandWritten);
    EXPECT_EQ(entries(), std::vector<std::string>{"Tarnick.ini"});
}

TEST_F(ProfileTest, DeletingAKeyThatAppearsMoreThanOnceRemovesEveryLineOfIt) {
    writeText(file_, "[S]\nk=1\nK = 2\nother=3\nk=4\n[T]\nk=5\n");
    ASSERT_TRUE(put("s", "k", nullptr));
    EXPECT_EQ(readText(file_), "[S]\nother=3\n[T]\nk=5\n");
    EXPECT_EQ(get("S", "k", "gone").second, "gone");
    EXPECT_EQ(get("T", "k").second, "5");
}

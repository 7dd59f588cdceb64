// Several programs at once, each with its own settings file (--settings), the other options,
// and the settings file make run starts the program with.
#include "CommandLine.h"
#include "ProgramProcess.h"
#include "SettingsLocation.h"
#include "TarnickDlg.h"
#include "TestSupport.h"
#include "loopback.h"

#include <platform/profile.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

using testsupport::ProgramProcess;
using testsupport::pumpUntil;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

std::string valueIn(const std::string& file, const char* section, const char* key) {
    char value[256];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof(value), file.c_str());
    return value;
}

// A folder of the test's own, removed with it.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/tarnick-instances-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string serverSettings(int port, int width, int height) {
    return "[CONFIG]\nAUTO_START=1\n[DEVICE]\nDEVICE_PATH=ormidal:test-pattern\n"
           "[VIDEO]\nWIDTH=" +
           std::to_string(width) + "\nHEIGHT=" + std::to_string(height) +
           "\nBITCOUNT=24\nFRAME_PER_SEC=30\n[NETWORK]\nCONNECT_PORT=" + std::to_string(port) +
           "\n";
}

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

// Runs a tool to its end (bounded).
ToolRun runTool(const QString& tool, const QStringList& args,
                const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(tool, args);
    ToolRun run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    return run;
}

// The size of the picture a server's snapshot shows, as ffprobe reads it ("640,480"); the
// snapshot is fetched until the server answers (bounded).
std::string servedSize(int port, const std::string& folder) {
    const QString file = QString::fromStdString(folder + "/snapshot-" + std::to_string(port));
    const QString url = QString("http://127.0.0.1:%1/snapshot.jpg").arg(port);
    const bool answered = pumpUntil(
        [&] {
            return runTool("curl", {"-sf", "--max-time", "5", "-o", file, url}).exitCode == 0;
        },
        30000);
    if (!answered)
        return "no answer";
    const ToolRun probe =
        runTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=width,height", "-of", "csv=p=0", file});
    return QString::fromStdString(probe.out).trimmed().toStdString();
}

// Waits for a process that ends by itself; its raw wait status.
std::optional<int> waitForEnd(ProgramProcess& program) {
    return program.stop(0);
}

// The usual settings files of a program started from its folder: never written when
// another file was chosen.
void expectUsualFilesUntouched(const ProgramProcess& program) {
    EXPECT_FALSE(fs::exists(program.besideSettings()));
    EXPECT_FALSE(fs::exists(program.userSettings()));
}

TEST(ProgramOptions, SettingsFileQtOptionsHelpVersionAndErrorsAreToldApart) {
    // A relative file is the current folder's; Qt's own options are passed over.
    CommandLine options = parseCommandLine({"-platform", "offscreen", "-s", "cams/front.ini",
                                            "--style=fusion", "-reverse", "--qwindowtitle", "T"},
                                           "/home/user");
    EXPECT_EQ(options.action, CommandLine::Action::Run);
    EXPECT_EQ(options.settingsFile, "/home/user/cams/front.ini");
    options = parseCommandLine({"--settings", "../back.ini"}, "/home/user/cams");
    EXPECT_EQ(options.settingsFile, "/home/user/back.ini");
    options = parseCommandLine({"--settings=/etc/tarnick/side.ini"}, "/home/user");
    EXPECT_EQ(options.settingsFile, "/etc/tarnick/side.ini");
    options = parseCommandLine({}, "/home/user");
    EXPECT_EQ(options.action, CommandLine::Action::Run);
    EXPECT_TRUE(options.settingsFile.empty());

    EXPECT_EQ(parseCommandLine({"-s", "a.ini", "--help"}, "/").action, CommandLine::Action::Help);
    EXPECT_EQ(parseCommandLine({"-h"}, "/").action, CommandLine::Action::Help);
    EXPECT_EQ(parseCommandLine({"--version"}, "/").action, CommandLine::Action::Version);
    EXPECT_EQ(parseCommandLine({"-v"}, "/").action, CommandLine::Action::Version);

    for (const std::vector<std::string>& wrong :
         std::vector<std::vector<std::string>>{{"--bogus"},
                                               {"-s"},
                                               {"--settings="},
                                               {"-platform"},
                                               {"-reverse=1"},
                                               {"front.ini"},
                                               {"-s", "a.ini", "--settings", "b.ini"},
                                               {"--help", "--bogus"}}) {
        SCOPED_TRACE(wrong.front());
        options = parseCommandLine(wrong, "/home/user");
        EXPECT_EQ(options.action, CommandLine::Action::Error);
        EXPECT_FALSE(options.error.empty());
    }
    EXPECT_NE(parseCommandLine({"--bogus"}, "/").error.find("--bogus"), std::string::npos);
    // Without a current folder a relative file has no meaning; an absolute one still does.
    EXPECT_EQ(parseCommandLine({"-s", "a.ini"}, "").action, CommandLine::Action::Error);
    EXPECT_EQ(parseCommandLine({"-s", "/a.ini"}, "").action, CommandLine::Action::Run);
}

TEST(ProgramOptions, HelpAndVersionNeedNoDisplayAndAnUnknownOptionEndsWithStatus2) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    const QString program = TARNICK_BINARY;

    ToolRun run = runTool(program, {"--help"}, env);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("--settings FILE"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("--version"), std::string::npos);
    EXPECT_TRUE(run.err.empty()) << run.err;

    run = runTool(program, {"-platform", "offscreen", "--version"}, env);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("tarnick (Ormidal) ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find_first_of("0123456789"), std::string::npos);

    run = runTool(program, {"--bogus"}, env);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("unknown option --bogus"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos);
    EXPECT_TRUE(run.out.empty());

    run = runTool(program, {"--settings"}, env);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("needs a settings file"), std::string::npos) << run.err;
}

TEST(InstanceSettings, TwoProgramsServeTheirOwnCamerasAndSaveTheirOwnSettings) {
    TempFolder folder;
    const std::string front = folder / "front.ini";
    const std::string back = folder / "back.ini";
    const int frontPort = loopback::freePort();
    int backPort = loopback::freePort();
    while (backPort == frontPort)
        backPort = loopback::freePort();
    writeFile(front, serverSettings(frontPort, 640, 480));
    writeFile(back, serverSettings(backPort, 320, 240));

    ProgramProcess frontProgram, backProgram;
    ASSERT_TRUE(frontProgram.start(false, {}, {"--settings", front}));
    ASSERT_TRUE(backProgram.start(false, {}, {"-s", back}));
    // Both serve at once, each its own camera at its own size on its own port.
    EXPECT_EQ(servedSize(frontPort, folder.path()), "640,480");
    EXPECT_EQ(servedSize(backPort, folder.path()), "320,240");

    ASSERT_TRUE(frontProgram.waitUntilCatchingEndingSignals());
    ASSERT_TRUE(backProgram.waitUntilCatchingEndingSignals());
    for (ProgramProcess* program : {&frontProgram, &backProgram}) {
        const auto status = program->stop(SIGTERM);
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        expectUsualFilesUntouched(*program);
    }
    // Each saved into its own file: the keys it did not have were written beside its own.
    EXPECT_EQ(valueIn(front, "NETWORK", "CONNECT_PORT"), std::to_string(frontPort));
    EXPECT_EQ(valueIn(back, "NETWORK", "CONNECT_PORT"), std::to_string(backPort));
    EXPECT_EQ(valueIn(front, "VIDEO", "WIDTH"), "640");
    EXPECT_EQ(valueIn(back, "VIDEO", "WIDTH"), "320");
    for (const std::string& file : {front, back}) {
        EXPECT_EQ(valueIn(file, "NETWORK", "CONNECT_HOST"), "localhost");
        EXPECT_EQ(valueIn(file, "CONFIG", "AUTO_START"), "1");
        EXPECT_EQ(valueIn(file, "DEVICE", "DEVICE_INDEX"), "0");
    }

    // The second time, from what they saved: the same cameras on the same ports.
    ASSERT_TRUE(backProgram.start(false, {}, {"--settings=" + back}));
    EXPECT_EQ(servedSize(backPort, folder.path()), "320,240");
    ASSERT_TRUE(backProgram.waitUntilCatchingEndingSignals());
    const auto status = backProgram.stop(SIGTERM);
    ASSERT_TRUE(status && WIFEXITED(*status));
    expectUsualFilesUntouched(backProgram);
}

TEST(InstanceSettings, AMissingFileStartsFromTheDefaultsAndIsCreatedWithItsFoldersOnSave) {
    TempFolder folder;
    const std::string file = folder / "cameras/side/side.ini";
    ProgramProcess program;
    ASSERT_TRUE(program.start(false, {}, {"-s", file}));
    ASSERT_TRUE(program.waitUntilCatchingEndingSignals());
    EXPECT_FALSE(fs::exists(file)); // nothing is written before there is something to save
    const auto status = program.stop(SIGTERM);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(valueIn(file, "NETWORK", "CONNECT_PORT"), "7373");
    EXPECT_EQ(valueIn(file, "NETWORK", "CONNECT_HOST"), "localhost");
    EXPECT_EQ(valueIn(file, "CONFIG", "AUTO_START"), "0");
    EXPECT_EQ(valueIn(file, "VIDEO", "WIDTH"), "320");
    expectUsualFilesUntouched(program);
}

TEST(InstanceSettings, AnUnreadableFileIsRefusedWithAClearErrorAndLeftAsItIs) {
    TempFolder folder;
    // A folder where the file should be, and a file far larger than any settings file.
    const std::string asFolder = folder / "folder.ini";
    fs::create_directories(asFolder);
    const std::string huge = folder / "huge.ini";
    const std::string hugeText = "[NETWORK]\nCONNECT_PORT=7474\n" + std::string(3 << 20, ';');
    writeFile(huge, hugeText);
    for (const auto& [file, reason] :
         {std::pair{asFolder, "it is a folder"}, std::pair{huge, "too large"}}) {
        SCOPED_TRACE(file);
        ProgramProcess program;
        const std::string log = folder / "stderr.txt";
        ASSERT_TRUE(program.start(false, log, {"--settings", file}));
        const auto status = waitForEnd(program);
        ASSERT_TRUE(status && WIFEXITED(*status)) << "the program did not end by itself";
        EXPECT_EQ(WEXITSTATUS(*status), 1);
        const std::string error = readFile(log);
        EXPECT_NE(error.find("cannot read the settings file \"" + file + "\""), std::string::npos)
            << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        expectUsualFilesUntouched(program);
    }
    EXPECT_TRUE(fs::is_directory(asFolder));
    EXPECT_TRUE(fs::is_empty(asFolder));
    EXPECT_EQ(readFile(huge), hugeText);
}

TEST(InstanceSettings, AReadOnlyFileIsReadAndNeverWritten) {
    TempFolder folder;
    const std::string file = folder / "fixed.ini";
    const int port = loopback::freePort();
    const std::string text = serverSettings(port, 320, 240);
    writeFile(file, text);
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);

    ProgramProcess program;
    const std::string log = folder / "stderr.txt";
    ASSERT_TRUE(program.start(false, log, {"--settings", file}));
    EXPECT_EQ(servedSize(port, folder.path()), "320,240"); // it was read
    ASSERT_TRUE(program.waitUntilCatchingEndingSignals());
    const auto status = program.stop(SIGTERM);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

    // The teardown's save was refused and said so, once; the file is the one it was.
    const std::string error = readFile(log);
    const std::string said = "cannot write the settings file \"" + file + "\" (it is read-only)";
    EXPECT_NE(error.find(said), std::string::npos) << error;
    EXPECT_EQ(error.find(said), error.rfind(said)) << error;
    EXPECT_EQ(readFile(file), text);
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino); // not replaced by another file either
    EXPECT_EQ(after.st_mode, before.st_mode);
    expectUsualFilesUntouched(program);
}

// make run's own settings file, as configured into the build folder, on a free port.
std::string makeRunSettingsOnPort(const TempFolder& folder, int port) {
    const std::string file = folder / "tarnick-server.ini";
    fs::copy_file(TARNICK_RUN_SERVER_SETTINGS, file);
    WritePrivateProfileStringA("NETWORK", "CONNECT_PORT", std::to_string(port).c_str(),
                               file.c_str());
    return file;
}

TEST(InstanceSettings, MakeRunsSettingsFileStartsAProgramServingTheTestPattern) {
    const std::string generated = TARNICK_RUN_SERVER_SETTINGS;
    EXPECT_EQ(valueIn(generated, "NETWORK", "CONNECT_PORT"), "7373");
    EXPECT_EQ(valueIn(generated, "CONFIG", "AUTO_START"), "1");
    EXPECT_EQ(valueIn(generated, "CONFIG", "START_SHOWN"), "1");
    EXPECT_EQ(valueIn(generated, "DEVICE", "DEVICE_PATH"), "ormidal:test-pattern");

    TempFolder folder;
    const int port = loopback::freePort();
    const std::string file = makeRunSettingsOnPort(folder, port);
    ProgramProcess program;
    ASSERT_TRUE(program.start(false, {}, {"--settings", file}));
    EXPECT_EQ(servedSize(port, folder.path()), "640,480");
    ASSERT_TRUE(program.waitUntilCatchingEndingSignals());
    const auto status = program.stop(SIGTERM);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    expectUsualFilesUntouched(program);
}

// The window itself, in this process, from the same file: it stays on the screen showing
// the live picture and its status line (a start-up server otherwise goes into the tray, or
// is minimised without one).
TEST(InstanceSettings, MakeRunsWindowStaysShownWhileItServesAndTheUsualStartDoesNot) {
    TempFolder folder;
    for (const bool shown : {true, false}) {
        SCOPED_TRACE(shown);
        const int port = loopback::freePort();
        const std::string file = makeRunSettingsOnPort(folder, port);
        if (!shown)
            WritePrivateProfileStringA("CONFIG", "START_SHOWN", nullptr, file.c_str());
        settingslocation::choose(file);
        {
            CTarnickDlg dlg;
            ASSERT_TRUE(dlg.Create());
            EXPECT_TRUE(pumpUntil([&] { return dlg.IsServing(); }, 20000));
            EXPECT_TRUE(pumpUntil(
                [&] { return dlg.statusText().startsWith("W=640, H=480, Rate="); }, 20000));
            if (shown) {
                EXPECT_TRUE(dlg.isVisible());
                EXPECT_FALSE(dlg.isMinimized());
                EXPECT_FALSE(dlg.m_inTray);
            } else {
                EXPECT_TRUE(dlg.m_inTray ? !dlg.isVisible() : dlg.isMinimized());
            }
            dlg.EndDialog(IDOK);
        }
        settingslocation::choose({});
        fs::remove(file);
    }
}

} // namespace

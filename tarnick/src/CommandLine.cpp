// The command line: the program's own options, Qt's passed over.
#include "CommandLine.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <string_view>

#ifndef ORMIDAL_VERSION
#define ORMIDAL_VERSION "unknown"
#endif

namespace {

struct QtOption {
    std::string_view name; // with one leading dash, as Qt spells it
    bool takesValue;
};

// The options QGuiApplication, QApplication and the xcb platform consume themselves. Qt
// also accepts them with two dashes, and the valued ones as NAME=VALUE.
constexpr std::array kQtOptions{
    QtOption{"-platform", true},        QtOption{"-platformpluginpath", true},
    QtOption{"-platformtheme", true},   QtOption{"-plugin", true},
    QtOption{"-qwindowgeometry", true}, QtOption{"-geometry", true},
    QtOption{"-qwindowtitle", true},    QtOption{"-title", true},
    QtOption{"-qwindowicon", true},     QtOption{"-icon", true},
    QtOption{"-display", true},         QtOption{"-name", true},
    QtOption{"-visual", true},          QtOption{"-session", true},
    QtOption{"-style", true},           QtOption{"-stylesheet", true},
    QtOption{"-qmljsdebugger", true},   QtOption{"-reverse", false},
    QtOption{"-widgetcount", false},    QtOption{"-testability", false},
    QtOption{"-sync", false},           QtOption{"-nograb", false},
    QtOption{"-dograb", false},
};

// Qt's option of that spelling ("-style", "--style", "-style=fusion"), or null.
const QtOption* qtOption(std::string_view arg, bool& valueAttached) {
    if (arg.substr(0, 2) == "--")
        arg.remove_prefix(1);
    const auto equals = arg.find('=');
    valueAttached = equals != std::string_view::npos;
    const std::string_view name = arg.substr(0, equals);
    for (const QtOption& option : kQtOptions)
        if (option.name == name && (option.takesValue || !valueAttached))
            return &option;
    return nullptr;
}

CommandLine failure(std::string error) {
    CommandLine result;
    result.action = CommandLine::Action::Error;
    result.error = std::move(error);
    return result;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args, const std::string& currentDir) {
    CommandLine result;
    bool helpAsked = false;
    bool versionAsked = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string settings;
        bool settingsGiven = false;
        if (arg == "-h" || arg == "--help") {
            helpAsked = true;
        } else if (arg == "-v" || arg == "--version") {
            versionAsked = true;
        } else if (arg == "-s" || arg == "--settings") {
            if (i + 1 >= args.size())
                return failure("the option " + arg + " needs a settings file");
            settings = args[++i];
            settingsGiven = true;
        } else if (arg.rfind("--settings=", 0) == 0) {
            settings = arg.substr(std::string_view("--settings=").size());
            settingsGiven = true;
        } else if (bool attached = false; const QtOption* option = qtOption(arg, attached)) {
            if (option->takesValue && !attached) {
                if (i + 1 >= args.size())
                    return failure("the option " + arg + " needs a value");
                ++i; // Qt's value, Qt's business
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return failure("unknown option " + arg);
        } else {
            return failure("unexpected argument \"" + arg + "\"");
        }
        if (settingsGiven) {
            if (settings.empty())
                return failure("the settings file name is empty");
            if (!result.settingsFile.empty())
                return failure("more than one settings file given");
            // A bare name would otherwise be looked for in the configuration folder.
            const std::filesystem::path path(settings);
            if (!path.is_absolute() && currentDir.empty())
                return failure("the current folder is gone: give the settings file's full path");
            result.settingsFile =
                (path.is_absolute() ? path : std::filesystem::path(currentDir) / path)
                    .lexically_normal()
                    .string();
        }
    }
    if (helpAsked)
        result.action = CommandLine::Action::Help;
    else if (versionAsked)
        result.action = CommandLine::Action::Version;
    return result;
}

std::string helpText() {
    return "Usage: tarnick [--settings FILE] [Qt options]\n"
           "Shows, serves and receives live camera pictures.\n"
           "\n"
           "  -s, --settings FILE  use FILE for the settings instead of tarnick.ini beside the\n"
           "                       program (or ~/.config/tarnick.ini); a missing FILE starts\n"
           "                       from the defaults and is created when the settings are saved\n"
           "  -h, --help           print this help and exit\n"
           "  -v, --version        print the version and exit\n"
           "\n"
           "Qt's own options work as well, e.g. -platform offscreen or -style fusion.\n"
           "Several programs with different settings files serve several cameras at once.\n";
}

std::string versionText() {
    return "tarnick (Ormidal) " ORMIDAL_VERSION "\n";
}

int handleCommandLine(int argc, char** argv, CommandLine& options) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    options = parseCommandLine(args, error ? std::string() : here.string());
    switch (options.action) {
    case CommandLine::Action::Run:
        return -1;
    case CommandLine::Action::Help:
        std::fputs(helpText().c_str(), stdout);
        return 0;
    case CommandLine::Action::Version:
        std::fputs(versionText().c_str(), stdout);
        return 0;
    case CommandLine::Action::Error:
        break;
    }
    std::fprintf(stderr, "tarnick: %s\nTry 'tarnick --help' for the options.\n",
                 options.error.c_str());
    return 2;
}

// The program's own command-line options (--settings, --help, --version), read before the
// QApplication exists so that --help and --version need no display; Qt's own options
// (-platform, -style, ...) are passed over here and left to the QApplication.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    // The settings file chosen with --settings, made absolute; empty for the usual one.
    std::string settingsFile;
    // What was wrong, for Action::Error.
    std::string error;
};

// args: the arguments after the program's name. A relative settings file is taken relative
// to currentDir.
CommandLine parseCommandLine(const std::vector<std::string>& args, const std::string& currentDir);

// What --help and --version print (to standard output).
std::string helpText();
std::string versionText();

// Reads the command line of this process and acts on what ends it at once: prints the help
// or the version (returns 0), or an error with a hint (returns 2). Returns -1 when the
// program is to run, with the options in `options`.
int handleCommandLine(int argc, char** argv, CommandLine& options);

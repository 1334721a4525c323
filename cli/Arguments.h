// quorvel-flash's command line, read by one plain function: a command with
// its options, or why the line is no command (a usage error).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "drive/Drive.h"

enum class CliCommand { List, Check, Write, History, Status, Watch, Help, Version };

struct CliArguments {
    CliCommand command = CliCommand::Help;
    std::string image;                 // check, write
    std::vector<DriveAddress> drives;  // check: at most one (any number with --json); write: one or more, or --all;
                                       // watch: any number (none: every flash under way)
    bool all = false;                  // write, check --json: every listed drive of the image's model; watch:
                                       // every flash under way
    bool json = false;                 // list, history, write, check, status, watch
    bool yes = false;                  // write: no question asked
    bool restart = false;              // write: the restart after every drive accepted its flash
    bool raw = false;                  // history: the record's own lines
    bool operator==(const CliArguments &) const = default;
};

struct ParsedArguments {
    std::optional<CliArguments> arguments;  // set when the line is a command
    std::string usageError;                 // otherwise: what is wrong with it
};

// `words`: the arguments after the program's name. --help anywhere before
// "--" asks for the usage, --version (without --help) for the version;
// otherwise the first word is the command and the rest its options and
// operand, in any order ("--" ends the options).
ParsedArguments ParseArguments(const std::vector<std::string> &words);

// "A:T", each a number 0 to 255; nothing when the text is no address.
std::optional<DriveAddress> ParseDriveAddress(const std::string &text);

// The usage, for --help.
std::string UsageText();

// The exit statuses, for scripts (quorvel-flash(1) gives them).
constexpr int kExitDone = 0;
constexpr int kExitDriveFailed = 1;      // the drive refused or failed during the flash
constexpr int kExitRefused = 2;          // refused before anything was sent to the drive
constexpr int kExitRestartRefused = 3;   // flashed; the system refused the restart asked for
constexpr int kExitUsage = 64;           // no command (EX_USAGE)

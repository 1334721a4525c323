#include "cli/Arguments.h"

namespace {
struct CommandName {
    const char *name;
    CliCommand command;
};
constexpr CommandName kCommands[] = {
    {"list", CliCommand::List},
    {"check", CliCommand::Check},
    {"write", CliCommand::Write},
    {"history", CliCommand::History},
    {"status", CliCommand::Status},
    {"watch", CliCommand::Watch},
};

// Which options each command takes.
struct Takes {
    bool image = false;
    bool drive = false;
    bool json = false;
    bool yesAndRestart = false;
    bool severalDrives = false;  // --drive more than once, and --all
    bool raw = false;
};
Takes WhatItTakes(CliCommand command) {
    switch (command) {
    case CliCommand::List: return {false, false, true, false, false};
    case CliCommand::History: return {false, false, true, false, false, true};
    // Several drives only with --json (below): the text says one drive's match.
    case CliCommand::Check: return {true, true, true, false, true};
    case CliCommand::Write: return {true, true, true, true, true};
    case CliCommand::Status: return {false, false, true, false, false};
    case CliCommand::Watch: return {false, true, true, false, true};
    case CliCommand::Help:
    case CliCommand::Version: break;
    }
    return {};
}

ParsedArguments Usage(std::string error) { return {std::nullopt, std::move(error)}; }

ParsedArguments Alone(CliCommand command) {
    CliArguments arguments;
    arguments.command = command;
    return {arguments, {}};
}

std::optional<int> SmallNumber(const std::string &text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 255) return std::nullopt;
    return value;
}
}  // namespace

std::optional<DriveAddress> ParseDriveAddress(const std::string &text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::optional<int> adapter = SmallNumber(text.substr(0, colon));
    const std::optional<int> target = SmallNumber(text.substr(colon + 1));
    if (!adapter || !target) return std::nullopt;
    return DriveAddress{static_cast<uint8_t>(*adapter), static_cast<uint8_t>(*target)};
}

ParsedArguments ParseArguments(const std::vector<std::string> &words) {
    for (const std::string &word : words) {
        if (word == "--") break;
        if (word == "--help") return Alone(CliCommand::Help);
    }
    for (const std::string &word : words) {
        if (word == "--") break;
        if (word == "--version") return Alone(CliCommand::Version);
    }
    if (words.empty()) return Usage("no command given");

    const std::string &name = words[0];
    CliArguments arguments;
    bool known = false;
    for (const CommandName &c : kCommands) {
        if (name == c.name) {
            arguments.command = c.command;
            known = true;
        }
    }
    if (!known) {
        if (!name.empty() && name[0] == '-') return Usage("unknown option '" + name + "'; a command comes first");
        return Usage("unknown command '" + name + "'");
    }

    const Takes takes = WhatItTakes(arguments.command);
    bool imageGiven = false;
    bool optionsEnded = false;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (!optionsEnded && word == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && word.size() > 1 && word[0] == '-') {
            const bool driveOption = word == "--drive" || word.rfind("--drive=", 0) == 0;
            const bool recognised =
                word == "--json" || word == "--yes" || word == "--restart" || word == "--all" || word == "--raw" ||
                driveOption;
            if (!recognised) return Usage("unknown option '" + word + "'");
            const bool taken = (word == "--json" && takes.json) ||
                               ((word == "--yes" || word == "--restart") && takes.yesAndRestart) ||
                               (word == "--all" && takes.severalDrives) || (word == "--raw" && takes.raw) ||
                               (driveOption && takes.drive);
            const std::string option = driveOption ? "--drive" : word;
            if (!taken) return Usage(name + " takes no " + option);
            if (word == "--json") arguments.json = true;
            if (word == "--yes") arguments.yes = true;
            if (word == "--restart") arguments.restart = true;
            if (word == "--all") arguments.all = true;
            if (word == "--raw") arguments.raw = true;
            if (driveOption) {
                if (!arguments.drives.empty() && !takes.severalDrives) return Usage("--drive given twice");
                std::string value;
                if (word == "--drive") {
                    if (i + 1 >= words.size()) return Usage("--drive needs a drive, A:T");
                    value = words[++i];
                } else {
                    value = word.substr(8);
                }
                const std::optional<DriveAddress> drive = ParseDriveAddress(value);
                if (!drive)
                    return Usage("'" + value + "' is no drive: give it as A:T, its adapter and target, as "
                                 "quorvel-flash list shows them");
                for (const DriveAddress &given : arguments.drives)
                    if (given == *drive) return Usage("--drive " + value + " given twice");
                arguments.drives.push_back(*drive);
            }
            continue;
        }
        if (!takes.image) return Usage(name + " takes no operand ('" + word + "')");
        if (imageGiven) return Usage(name + " takes one IMAGE ('" + word + "' is a second)");
        arguments.image = word;
        imageGiven = true;
    }
    if (takes.image && !imageGiven) return Usage(name + " needs an IMAGE");
    if (arguments.all && !arguments.drives.empty()) return Usage("--all and --drive: give one or the other");
    if (arguments.raw && arguments.json) return Usage("--raw and --json: give one or the other");
    if (arguments.command == CliCommand::Check && !arguments.json && (arguments.all || arguments.drives.size() > 1))
        return Usage("check takes several drives (--drive more than once, or --all) only with --json");
    if (arguments.command == CliCommand::Write && arguments.drives.empty() && !arguments.all)
        return Usage("write needs --drive A:T, the drive to write, or --all (quorvel-flash list shows the drives)");
    return {arguments, {}};
}

std::string UsageText() {
    return "Usage: quorvel-flash list [--json]\n"
           "       quorvel-flash check IMAGE [--drive A:T]\n"
           "       quorvel-flash check IMAGE --json [--drive A:T]...\n"
           "       quorvel-flash check IMAGE --json --all\n"
           "       quorvel-flash write IMAGE --drive A:T [--drive A:T]... [--yes] [--restart] [--json]\n"
           "       quorvel-flash write IMAGE --all [--yes] [--restart] [--json]\n"
           "       quorvel-flash history [--json | --raw]\n"
           "       quorvel-flash status [--json]\n"
           "       quorvel-flash watch [--drive A:T]... [--json]\n"
           "       quorvel-flash watch --all [--json]\n"
           "       quorvel-flash --help | --version\n"
           "\n"
           "Writes a firmware image into a CD/DVD drive from a terminal or a script, with the\n"
           "checks and guards of QUORVEL's window.\n"
           "\n"
           "  list      the CD/DVD drives, one a line: A:T, vendor, model, revision\n"
           "  check     the image's model, version and blocks; with --drive, whether it is\n"
           "            for that drive's model\n"
           "  write     every check, a question on the terminal (--yes: none), then the\n"
           "            flash; --restart restarts the system once the drive has accepted\n"
           "            every block. Several --drive, or --all (every listed drive of the\n"
           "            image's model): every drive at once, each checked on its own, one\n"
           "            question, one summary; --restart once every drive has accepted\n"
           "  history   the record of flashes, one line a flash, newest last: when, the\n"
           "            drive, its model, old -> new version, how it ended (--raw: the\n"
           "            record's own lines, every field)\n"
           "  status    every flash of this user under way, one line each: the drive, its\n"
           "            model, old -> new version, the image, its block, since when, who\n"
           "            started it; and what can be known of other users' flashes\n"
           "  watch     follows flashes under way to their end as write shows its own\n"
           "            (every one, or those of --drive); Ctrl+C ends the watch, never the\n"
           "            flash. A flash whose starter is gone is seen to its end by its\n"
           "            first watcher, with its restart only if its starter asked for one\n"
           "  --json    list, history and status as JSON; write and watch: their events\n"
           "            and summary as JSON lines on standard output; check: the image's\n"
           "            figures and, for the drives chosen as write chooses them, whether\n"
           "            each would be written\n"
           "\n"
           "Exit status: 0 done (every drive accepted); 1 a drive refused or failed during\n"
           "its flash, or was refused while others were written; 2 refused before anything\n"
           "was sent to any drive (watch: nothing under way to follow); 3 flashed, but the\n"
           "system refused the restart; 64 a usage error; a watch ended by a signal,\n"
           "128 + its number. man quorvel-flash says more.\n";
}

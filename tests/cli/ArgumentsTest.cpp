// quorvel-flash's command line, as a table: each line of words, and the
// command it is or the usage error it gives.
#include <gtest/gtest.h>

#include "cli/Arguments.h"

namespace {
using Words = std::vector<std::string>;

CliArguments Command(CliCommand command) {
    CliArguments arguments;
    arguments.command = command;
    return arguments;
}
CliArguments Check(std::string image, std::optional<DriveAddress> drive = std::nullopt) {
    CliArguments arguments = Command(CliCommand::Check);
    arguments.image = std::move(image);
    if (drive) arguments.drives.push_back(*drive);
    return arguments;
}
CliArguments Write(std::string image, DriveAddress drive, bool yes = false, bool restart = false) {
    CliArguments arguments = Command(CliCommand::Write);
    arguments.image = std::move(image);
    arguments.drives.push_back(drive);
    arguments.yes = yes;
    arguments.restart = restart;
    return arguments;
}
CliArguments Json(CliCommand command) {
    CliArguments arguments = Command(command);
    arguments.json = true;
    return arguments;
}

struct Accepted {
    Words words;
    CliArguments expected;
};

const Accepted kAccepted[] = {
    {{"list"}, Command(CliCommand::List)},
    {{"list", "--json"}, Json(CliCommand::List)},
    {{"history"}, Command(CliCommand::History)},
    {{"history", "--json", "--json"}, Json(CliCommand::History)},
    {{"history", "--raw"},
     [] {
         CliArguments a = Command(CliCommand::History);
         a.raw = true;
         return a;
     }()},
    {{"check", "FW.BIN"}, Check("FW.BIN")},
    {{"check", "--drive", "0:1", "FW.BIN"}, Check("FW.BIN", DriveAddress{0, 1})},
    {{"check", "FW.BIN", "--drive=255:7"}, Check("FW.BIN", DriveAddress{255, 7})},
    {{"write", "FW.BIN", "--drive", "1:0"}, Write("FW.BIN", {1, 0})},
    {{"write", "--yes", "--drive", "0:1", "--restart", "x/FW.BIN"}, Write("x/FW.BIN", {0, 1}, true, true)},
    {{"write", "--drive", "00:01", "--", "--yes"}, Write("--yes", {0, 1})},
    // Several drives, in the order given; every drive of the image's model.
    {{"write", "FW.BIN", "--drive", "2:6", "--drive=0:1", "--json"},
     [] {
         CliArguments a = Write("FW.BIN", {2, 6});
         a.drives.push_back({0, 1});
         a.json = true;
         return a;
     }()},
    {{"write", "--all", "FW.BIN", "--yes"},
     [] {
         CliArguments a = Command(CliCommand::Write);
         a.image = "FW.BIN";
         a.all = true;
         a.yes = true;
         return a;
     }()},
    // check --json chooses drives as write does.
    {{"check", "FW.BIN", "--json"},
     [] {
         CliArguments a = Check("FW.BIN");
         a.json = true;
         return a;
     }()},
    {{"check", "--json", "--drive", "1:0", "FW.BIN", "--drive=0:1"},
     [] {
         CliArguments a = Check("FW.BIN", DriveAddress{1, 0});
         a.drives.push_back({0, 1});
         a.json = true;
         return a;
     }()},
    {{"check", "FW.BIN", "--all", "--json"},
     [] {
         CliArguments a = Check("FW.BIN");
         a.all = true;
         a.json = true;
         return a;
     }()},
    // status looks; watch follows every flash under way, or those named.
    {{"status"}, Command(CliCommand::Status)},
    {{"status", "--json"}, Json(CliCommand::Status)},
    {{"watch"}, Command(CliCommand::Watch)},
    {{"watch", "--all", "--json"},
     [] {
         CliArguments a = Json(CliCommand::Watch);
         a.all = true;
         return a;
     }()},
    {{"watch", "--drive", "0:1", "--drive=1:0"},
     [] {
         CliArguments a = Command(CliCommand::Watch);
         a.drives = {{0, 1}, {1, 0}};
         return a;
     }()},
    // An image named by a single dash is a name, not an option.
    {{"check", "-"}, Check("-")},
    // --help and --version win over whatever else the line holds, before "--".
    {{"--help"}, Command(CliCommand::Help)},
    {{"write", "--frob", "--help"}, Command(CliCommand::Help)},
    {{"--version"}, Command(CliCommand::Version)},
    {{"--version", "--help"}, Command(CliCommand::Help)},
    {{"list", "--version"}, Command(CliCommand::Version)},
};

TEST(CliArguments, CommandLinesThatAreCommands) {
    for (const Accepted &line : kAccepted) {
        const ParsedArguments parsed = ParseArguments(line.words);
        std::string joined;
        for (const std::string &word : line.words) joined += word + " ";
        ASSERT_TRUE(parsed.arguments.has_value()) << joined << ": " << parsed.usageError;
        EXPECT_EQ(*parsed.arguments, line.expected) << joined;
        EXPECT_TRUE(parsed.usageError.empty()) << joined;
    }
}

struct Refused {
    Words words;
    std::string error;
};

const Refused kRefused[] = {
    {{}, "no command given"},
    {{"flash"}, "unknown command 'flash'"},
    {{"LIST"}, "unknown command 'LIST'"},
    {{"--json", "list"}, "unknown option '--json'; a command comes first"},
    {{"list", "--frob"}, "unknown option '--frob'"},
    {{"list", "-j"}, "unknown option '-j'"},
    {{"list", "--json=1"}, "unknown option '--json=1'"},
    {{"list", "--drive", "0:1"}, "list takes no --drive"},
    {{"list", "FW.BIN"}, "list takes no operand ('FW.BIN')"},
    {{"history", "--yes"}, "history takes no --yes"},
    {{"history", "--raw", "--json"}, "--raw and --json: give one or the other"},
    {{"list", "--raw"}, "list takes no --raw"},
    {{"check"}, "check needs an IMAGE"},
    {{"check", "A.BIN", "B.BIN"}, "check takes one IMAGE ('B.BIN' is a second)"},
    {{"check", "A.BIN", "--restart"}, "check takes no --restart"},
    {{"write", "FW.BIN"}, "write needs --drive A:T, the drive to write, or --all (quorvel-flash list shows the drives)"},
    {{"write", "FW.BIN", "--all", "--drive", "0:1"}, "--all and --drive: give one or the other"},
    // Several drives for check only as JSON: its text says one drive's match.
    {{"check", "FW.BIN", "--all"}, "check takes several drives (--drive more than once, or --all) only with --json"},
    {{"check", "FW.BIN", "--drive", "0:1", "--drive", "0:2"},
     "check takes several drives (--drive more than once, or --all) only with --json"},
    {{"check", "FW.BIN", "--json", "--all", "--drive", "0:1"}, "--all and --drive: give one or the other"},
    {{"check", "FW.BIN", "--json", "--drive", "0:1", "--drive", "0:1"}, "--drive 0:1 given twice"},
    {{"check", "FW.BIN", "--json", "--yes"}, "check takes no --yes"},
    {{"write", "--drive", "0:1"}, "write needs an IMAGE"},
    {{"write", "FW.BIN", "--drive"}, "--drive needs a drive, A:T"},
    {{"write", "FW.BIN", "--drive", "0:1", "--drive", "00:1"}, "--drive 00:1 given twice"},
    {{"write", "FW.BIN", "--drive", "1"},
     "'1' is no drive: give it as A:T, its adapter and target, as quorvel-flash list shows them"},
    {{"write", "FW.BIN", "--drive=0:256"},
     "'0:256' is no drive: give it as A:T, its adapter and target, as quorvel-flash list shows them"},
    {{"write", "FW.BIN", "--drive", "--yes"},
     "'--yes' is no drive: give it as A:T, its adapter and target, as quorvel-flash list shows them"},
    {{"status", "--drive", "0:1"}, "status takes no --drive"},
    {{"status", "--all"}, "status takes no --all"},
    {{"watch", "FW.BIN"}, "watch takes no operand ('FW.BIN')"},
    {{"watch", "--yes"}, "watch takes no --yes"},
    {{"watch", "--restart", "--drive", "0:1"}, "watch takes no --restart"},
    {{"watch", "--all", "--drive", "0:1"}, "--all and --drive: give one or the other"},
    {{"watch", "--drive", "0:1", "--drive", "0:1"}, "--drive 0:1 given twice"},
    // After "--" even --help is an operand.
    {{"list", "--", "--help"}, "list takes no operand ('--help')"},
};

TEST(CliArguments, CommandLinesThatAreUsageErrors) {
    for (const Refused &line : kRefused) {
        const ParsedArguments parsed = ParseArguments(line.words);
        std::string joined;
        for (const std::string &word : line.words) joined += word + " ";
        EXPECT_FALSE(parsed.arguments.has_value()) << joined;
        EXPECT_EQ(parsed.usageError, line.error) << joined;
    }
}

TEST(CliArguments, DriveAddressesAreTwoNumbersUpTo255) {
    const struct {
        const char *text;
        std::optional<DriveAddress> address;
    } kAddresses[] = {
        {"0:0", DriveAddress{0, 0}}, {"7:15", DriveAddress{7, 15}}, {"255:255", DriveAddress{255, 255}},
        {"007:1", DriveAddress{7, 1}}, {"256:0", std::nullopt},     {"0:", std::nullopt},
        {":1", std::nullopt},        {"0:1:2", std::nullopt},       {"-1:0", std::nullopt},
        {" 0:1", std::nullopt},      {"0x1:0", std::nullopt},       {"0001:0", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &row : kAddresses) EXPECT_EQ(ParseDriveAddress(row.text), row.address) << row.text;
}

}  // namespace

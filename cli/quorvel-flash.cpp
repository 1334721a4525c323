// quorvel-flash: the program entry. The command line is read first, before
// anything else runs; a write then holds the termination signals from the
// start, as the window does, while list, check and history, which write
// nothing, leave them as they are. A core application: the bus for logind,
// the message loop for the flash, and no window system at all.
#include <QCoreApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "platform/Terminal.h"
#include "platform/Termination.h"
#include "state/SharedState.h"

int main(int argc, char *argv[]) {
    const ParsedArguments parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.arguments) {
        Tell(parsed.usageError + "; quorvel-flash --help shows the usage.");
        return kExitUsage;
    }
    const CliArguments &arguments = *parsed.arguments;
    if (arguments.command == CliCommand::Help) {
        WriteToStream(StandardStream::Output, UsageText());
        return kExitDone;
    }
    if (arguments.command == CliCommand::Version) {
        WriteToStream(StandardStream::Output, std::string(kProgramName) + " " + QUORVEL_VERSION + "\n");
        return kExitDone;
    }

    // Before any thread exists, so that every thread inherits it.
    if (arguments.command == CliCommand::Write || arguments.command == CliCommand::Watch) BlockTerminationSignals();
    IgnoreBrokenPipes();

    // The arguments are ours: the application gets none of them.
    int coreArgc = 1;
    char *coreArgv[] = {argv[0], nullptr};
    QCoreApplication application(coreArgc, coreArgv);
    QCoreApplication::setApplicationName(QString::fromLatin1(kProgramName));

    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));
    if (TransferBuffer == nullptr) {
        Tell("Not Enough Memory!! Nothing was sent to any drive.");
        return kExitRefused;
    }
    switch (arguments.command) {
    case CliCommand::List: return RunList(arguments.json);
    case CliCommand::Check: return RunCheck(arguments);
    case CliCommand::Write: return RunWrite(arguments);
    case CliCommand::History: return RunHistory(arguments);
    case CliCommand::Status: return RunStatus(arguments.json);
    case CliCommand::Watch: return RunWatch(arguments);
    case CliCommand::Help:
    case CliCommand::Version: break;
    }
    return kExitDone;
}

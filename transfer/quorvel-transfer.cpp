// quorvel-transfer: the flash's own process (transfer/Transfer.h), started by
// a front end (the window, quorvel-flash) in a session of its own, never by a
// user: its descriptor 3 is the channel to the front end, 4 the image's
// sealed copy. A core application: the loop for the channel, the
// termination requests and the inhibitors' answers; no window system.
#include <QCoreApplication>
#include <cstdlib>
#include <string>

#include "transfer/Transfer.h"
#include "platform/Termination.h"
#include "state/SharedState.h"

namespace {
constexpr int kChannel = 3;
constexpr int kImage = 4;
}  // namespace

int main(int argc, char *argv[]) {
    // Started with SIGTERM, SIGINT and SIGHUP blocked, as its front end has
    // them; they are read on the loop, and wait for the drive's answer.
    BlockTerminationSignals();
    IgnoreBrokenPipes();
    int coreArgc = 1;
    char *coreArgv[] = {argv[0], nullptr};
    (void)argc;
    QCoreApplication application(coreArgc, coreArgv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvel-transfer"));
    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));
    if (TransferBuffer == nullptr) return 2;

    int status = 0;
    bool ended = false;
    const TransferSessionHold session = StartTransferSession(kChannel, kImage, [&status, &ended](int s) {
        status = s;
        ended = true;
        QCoreApplication::exit(s);
    });
    if (ended) return status;
    // What the system's services say on standard error (no bus, no logind)
    // begins with the front end's name, as every other line of the flash.
    const std::string program = TransferSessionProgram(session.get());
    if (!program.empty()) QCoreApplication::setApplicationName(QString::fromStdString(program));
    TransferSession *requests = session.get();
    WatchTerminationRequests([requests](int) { TransferSessionEndRequested(requests); });
    QCoreApplication::exec();
    return status;
}

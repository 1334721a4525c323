// Termination requests through a signalfd watched by the event loop.
#include "platform/Termination.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>

namespace {
sigset_t TerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}
}  // namespace

void BlockTerminationSignals() {
    const sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

bool WatchTerminationRequests(std::function<void(int signal)> onRequest) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) return false;
    const sigset_t set = TerminationSignals();
    const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return false;
    // Lives as long as the application; the descriptor with it.
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, app);
    QObject::connect(notifier, &QObject::destroyed, [fd] { ::close(fd); });
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd, onRequest = std::move(onRequest)] {
        signalfd_siginfo info;
        for (;;) {
            const ssize_t n = ::read(fd, &info, sizeof info);
            if (n < 0 && errno == EINTR) continue;
            if (n != static_cast<ssize_t>(sizeof info)) return;
            onRequest(static_cast<int>(info.ssi_signo));
        }
    });
    return true;
}

// The standard streams: isatty, TIOCGWINSZ, write(2), and standard input
// watched by the event loop.
#include "platform/Terminal.h"

#include <fcntl.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <memory>
#include <string_view>

namespace {
int Descriptor(StandardStream stream) {
    switch (stream) {
    case StandardStream::Input: return STDIN_FILENO;
    case StandardStream::Output: return STDOUT_FILENO;
    case StandardStream::Error: return STDERR_FILENO;
    }
    return -1;
}

// A line longer than this is no answer to a question: taken as it is so far.
constexpr size_t kLongestLine = 4096;
}  // namespace

bool IsTerminal(StandardStream stream) { return ::isatty(Descriptor(stream)) == 1; }

int TerminalColumns(StandardStream stream) {
    winsize size{};
    if (::ioctl(Descriptor(stream), TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

bool WriteToStream(StandardStream stream, const std::string &text) {
    const int fd = Descriptor(stream);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

bool ReadLineFromInput(std::function<void(std::optional<std::string>)> onLine) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) return false;
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, app);
    auto line = std::make_shared<std::string>();
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [notifier, line, onLine = std::move(onLine)] {
                         char bytes[256];
                         ssize_t n;
                         do {
                             n = ::read(STDIN_FILENO, bytes, sizeof bytes);
                         } while (n < 0 && errno == EINTR);
                         if (n < 0 && errno == EAGAIN) return;
                         std::optional<std::string> answer;
                         if (n > 0) {
                             const std::string_view got(bytes, static_cast<size_t>(n));
                             const size_t end = got.find('\n');
                             line->append(got.substr(0, end));
                             if (end == std::string_view::npos && line->size() < kLongestLine) return;
                             answer = *line;
                         }
                         // One answer: the rest of the input is not ours to read.
                         notifier->setEnabled(false);
                         notifier->deleteLater();
                         onLine(answer);
                     });
    return true;
}

void qtlayer::LetGoOfTheStreams() {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
}

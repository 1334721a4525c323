// The program entry: the application, the main window (its creation runs the
// start-up sequence; the About dialog is built on first use), the message
// loop; exit code 0 always.
#include <QApplication>
#include <exception>

#include "app/Main.h"
#include "app/WindowFlash.h"
#include "platform/Termination.h"
#include "platform/window/win32_window.h"
#include "state/SharedState.h"

namespace {
// An exception that escapes an event handler is shown by the exception
// display, and the message loop goes on, as it does for any handler's error;
// it must never unwind through the toolkit.
class QuorvelApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &error) {
            ShowApplicationException(error);
            return false;
        }
    }
};
}  // namespace

int main(int argc, char *argv[]) {
    // Before any thread exists, so that every thread inherits it: SIGTERM,
    // SIGINT and SIGHUP reach the program only as requests read on the
    // user-interface thread, which decides when to end (never mid-flash).
    BlockTerminationSignals();
    // A closed standard error must not end the program in the middle of
    // whatever it is doing.
    IgnoreBrokenPipes();

    // Before any menu bar exists: otherwise the menu bar asks the session bus
    // for a desktop's global menu (a blocking call where no bus answers), only
    // to be told afterwards to stay in the window.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeMenuBar);

    // The command line has a meaning of its own (an image to load at start,
    // read through GetCommandLineA): the toolkit gets none of it, so that no
    // argument is taken as one of its options (-style, -reverse, ...).
    (void)argc;
    int toolkitArgc = 1;
    char *toolkitArgv[] = {argv[0], nullptr};
    QuorvelApplication application(toolkitArgc, toolkitArgv);
    // The desktop entry the window belongs to, for desktops that match them
    // by it (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvel.Quorvel"));
    WatchTerminationRequests([](int) {
        if (Form1 != nullptr) {
            Form1->TerminationRequested();
        } else {
            QuitNow(0);
            PostQuitMessage(0);
        }
    });
    try {
        try {
            new TForm1;  // stores itself in Form1 before FormCreate runs
        } catch (...) {
            Form1 = nullptr;  // the half-made window is gone: no box may name it as owner
            throw;
        }
        Form1->show();
        QApplication::exec();
    } catch (const std::exception &error) {
        ShowApplicationException(error);
    }
    // The message loop is over: the flash's process is told that the drive
    // may go, or, with a flash still written, goes on alone.
    FinishFlashAtProgramEnd();
    return 0;
}

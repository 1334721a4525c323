// The program entry: the application, the main window (its creation runs the
// start-up sequence), the About dialog, the message loop; exit code 0 always.
#include <QApplication>
#include <exception>
#include <string>

#include "app/Main.h"
#include "app/Quorvelabout.h"
#include "app/SharedState.h"
#include "platform/win32.h"

namespace {
// The application's exception display: an error box with the message.
void ShowException(const std::exception &error) {
    std::string text = error.what();
    if (text.empty()) text = "Unknown error.";
    MessageBoxA(Form1, text.c_str(), "QUORVEL", MB_OK | MB_ICONERROR);
}

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
            ShowException(error);
            return false;
        }
    }
};
}  // namespace

int main(int argc, char *argv[]) {
    QuorvelApplication application(argc, argv);
    try {
        new TForm1;  // stores itself in Form1 before FormCreate runs
        Form2 = new TForm2(Form1);
        Form1->show();
        QApplication::exec();
    } catch (const std::exception &error) {
        ShowException(error);
    }
    return 0;
}

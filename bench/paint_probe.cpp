// Preloaded into a Qt program (LD_PRELOAD): at the first paint of a top-level
// window that is not a dialog or a message box, prints the wall-clock time as
// "FIRST_PAINT <nanoseconds since the epoch> <window's object name>" on stderr and ends the process.
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QWidget>
#include <cstdio>
#include <ctime>

namespace {
class PaintProbe : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType()) {
            auto *widget = static_cast<QWidget *>(watched);
            if (widget->isWindow() && qobject_cast<QDialog *>(widget) == nullptr) {
                timespec now{};
                clock_gettime(CLOCK_REALTIME, &now);
                std::fprintf(stderr, "FIRST_PAINT %lld %s\n",
                             static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                             qPrintable(widget->objectName()));
                std::fflush(stderr);
                ::_exit(0);
            }
        }
        return false;
    }
};

void Install() { qApp->installEventFilter(new PaintProbe); }

__attribute__((constructor)) void Register() { qAddPreRoutine(Install); }
}  // namespace

// The delivery of quit requests to the user-interface thread's message loop,
// which may have modal boxes open: apart from the hand-over (UiThread.cpp),
// as it needs the widgets.
#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include "platform/UiThread.h"
#include "platform/window/Quit.h"

namespace {
// A quit request is meant for the message loop itself. Delivered inside the
// loop of a modal box (one shown after the request, perhaps before the
// message loop even started) it would end only that box and then be
// forgotten; delivered while events are processed outside any loop it would
// do nothing. It waits instead until a loop runs with no modal box open.
void DeliverQuit(int code) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) return;
    const bool modalOpen = qtlayer::WidgetApplication() != nullptr && QApplication::activeModalWidget() != nullptr;
    if (QThread::currentThread()->loopLevel() >= 1 && !modalOpen) {
        QCoreApplication::exit(code);
        return;
    }
    QTimer::singleShot(10, app, [code] { DeliverQuit(code); });
}

}  // namespace

namespace qtlayer {

QApplication *WidgetApplication() { return qobject_cast<QApplication *>(QCoreApplication::instance()); }

void PostQuit(int code) {
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(app, [code] { DeliverQuit(code); }, Qt::QueuedConnection);
}

void QuitAtOnce(int code) {
    // Every event loop of the thread, the modal boxes' among them, ends; a
    // loop started afterwards ends at once until the message loop runs.
    if (QCoreApplication::instance() != nullptr) QCoreApplication::exit(code);
}

}  // namespace qtlayer

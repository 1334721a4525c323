// Mouse capture and the screen cursor.
#include "platform/window/Capture.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QWidget>

#include "platform/window/TitleBar.h"
#include "platform/UiThread.h"
#include "platform/window/Quit.h"

namespace qtlayer {

// While installed, swallows the mouse clicks aimed at the capture window and
// at the widgets inside it, including the popups that open from it (menus,
// the drop-down of a list). Other windows, dialogs owned by the capture
// window among them, the window's frame (the title bar drawn on Wayland: its
// close box then answers as the window system's does on X11) and the keyboard
// are left alone.
class CaptureFilter : public QObject {
public:
    explicit CaptureFilter(QObject *parent) : QObject(parent) {}

    QPointer<QWidget> window;

    bool eventFilter(QObject *watched, QEvent *event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
            break;
        case QEvent::ContextMenu:
            if (static_cast<QContextMenuEvent *>(event)->reason() != QContextMenuEvent::Mouse) return false;
            break;
        default:
            return false;
        }
        if (!watched->isWidgetType()) return false;
        return Captures(static_cast<QWidget *>(watched));
    }

private:
    bool Captures(QWidget *widget) const {
        QWidget *target = window.data();
        if (target == nullptr || IsOwnTitleBar(widget)) return false;
        for (QWidget *w = widget; w != nullptr; w = w->parentWidget()) {
            if (w == target) return true;
            if (w->isWindow() && w->windowType() != Qt::Popup) return false;
        }
        return false;
    }
};

MouseCapture::MouseCapture() = default;

MouseCapture::~MouseCapture() {
    // The filter belongs to the application object and goes with it; it is
    // removed here only when the application outlives the capture.
    if (filter_ && QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->removeEventFilter(filter_);
        delete filter_.data();
    }
}

HWND MouseCapture::Set(HWND window) {
    return RunOnUiThread([this, window]() -> HWND {
        QCoreApplication *app = QCoreApplication::instance();
        if (app == nullptr) return nullptr;
        CaptureFilter *filter = filter_.data();
        HWND previous = filter != nullptr ? filter->window.data() : nullptr;
        if (window == nullptr) {
            if (filter != nullptr) filter->window = nullptr;
            return previous;
        }
        if (filter == nullptr) {
            filter = new CaptureFilter(app);
            filter_ = filter;
        }
        filter->window = window;
        // Installing again moves it to the front; it is never there twice.
        app->installEventFilter(filter);
        return previous;
    });
}

void MouseCapture::Release() {
    RunOnUiThread([this] {
        CaptureFilter *filter = filter_.data();
        if (filter == nullptr) return;
        filter->window = nullptr;
        if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeEventFilter(filter);
    });
}

void CursorOverride::Set(int cursor) {
    RunOnUiThread([this, cursor] {
        cursor_.store(cursor);
        const bool wantHourglass = cursor == crHourGlass;
        if (WidgetApplication() == nullptr || wantHourglass == pushed_) return;
        // One override of our own at most, so that the hourglass never
        // stacks and crDefault never takes away someone else's.
        if (wantHourglass) QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        else QApplication::restoreOverrideCursor();
        pushed_ = wantHourglass;
    });
}

}  // namespace qtlayer

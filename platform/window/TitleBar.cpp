// The program's own title bar on native Wayland; see TitleBar.h.
#include "platform/window/TitleBar.h"

#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLayout>
#include <QMargins>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionTitleBar>
#include <QWidget>
#include <QWindow>

namespace {

constexpr Qt::WindowFlags kButtonHints =
    Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint;
// Styles elide a caption before it reaches the ends of its place (the widget
// styles keep up to 14 pixels free): a window is made wide enough for that too.
constexpr int kCaptionSlack = 16;

class OwnTitleBar : public QWidget {
public:
    // `buttons`: the button hints of the flags the window was given, which
    // its frameless flags no longer carry.
    OwnTitleBar(QWidget *window, Qt::WindowFlags buttons) : QWidget(window), window_(window), buttons_(buttons) {
        setObjectName(QStringLiteral("OwnTitleBar"));
        // The caption in the font the toolkit gives title bars, not in the
        // window's own (the About dialog's is 9 pixels high).
        setFont(QApplication::font("QMdiSubWindowTitleBar"));
        setFocusPolicy(Qt::NoFocus);
        setMouseTracking(true);
        window->installEventFilter(this);
        setGeometry(0, 0, window->width(), BarHeight());
    }

    int BarHeight() const {
        const QStyleOptionTitleBar option = Option();
        return style()->pixelMetric(QStyle::PM_TitleBarHeight, &option, this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched != window_) return false;
        switch (event->type()) {
        case QEvent::Resize:
        case QEvent::WindowTitleChange:
            setGeometry(0, 0, window_->width(), BarHeight());
            raise();
            WidenForCaption();
            update();
            break;
        case QEvent::WindowIconChange:
        case QEvent::ActivationChange:
        case QEvent::WindowStateChange:
            update();
            break;
        default:
            break;
        }
        return false;
    }

    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        const QStyleOptionTitleBar option = Option();
        style()->drawComplexControl(QStyle::CC_TitleBar, &option, &painter, this);
    }

    void mousePressEvent(QMouseEvent *event) override {
        if (event->button() != Qt::LeftButton) return;
        const QStyle::SubControl control = ControlAt(event->position().toPoint());
        if (IsButton(control)) {
            pressed_ = control;  // acted on when released over it, as a button is
            update();
        } else if (QWindow *handle = window_->windowHandle()) {
            handle->startSystemMove();
        }
    }

    void mouseReleaseEvent(QMouseEvent *event) override {
        if (event->button() != Qt::LeftButton) return;
        const QStyle::SubControl pressed = pressed_;
        pressed_ = QStyle::SC_None;
        update();
        if (pressed == QStyle::SC_None || ControlAt(event->position().toPoint()) != pressed) return;
        // The close box asks the window to close, as the window system's
        // does: the window may refuse (a box without a cancel button, the
        // main window during a flash).
        if (pressed == QStyle::SC_TitleBarCloseButton) window_->close();
        if (pressed == QStyle::SC_TitleBarMinButton) window_->showMinimized();
        if (pressed == QStyle::SC_TitleBarMaxButton) window_->showMaximized();
        if (pressed == QStyle::SC_TitleBarNormalButton) window_->showNormal();
    }

    void mouseMoveEvent(QMouseEvent *event) override {
        const QStyle::SubControl control = ControlAt(event->position().toPoint());
        if (control != hovered_) {
            hovered_ = control;
            update();
        }
    }

    void leaveEvent(QEvent *) override {
        hovered_ = QStyle::SC_None;
        update();
    }

private:
    static bool IsButton(QStyle::SubControl control) {
        return control == QStyle::SC_TitleBarCloseButton || control == QStyle::SC_TitleBarMinButton ||
               control == QStyle::SC_TitleBarMaxButton || control == QStyle::SC_TitleBarNormalButton;
    }

    // What the window system draws from the same flags: the caption, the
    // buttons they name, and the window's icon where the window has one of
    // its own (the boxes and the About dialog show none).
    QStyleOptionTitleBar Option() const {
        QStyleOptionTitleBar option;
        option.initFrom(this);
        option.text = window_->windowTitle();
        option.titleBarFlags = Qt::WindowTitleHint | (buttons_ & ~Qt::WindowCloseButtonHint);
        option.subControls = QStyle::SC_All;
        // The styles draw the close box with the system menu, the icon at
        // its place: without an icon of the window's own the place stays empty.
        if (buttons_.testFlag(Qt::WindowCloseButtonHint)) option.titleBarFlags |= Qt::WindowSystemMenuHint;
        if (window_->testAttribute(Qt::WA_SetWindowIcon) && !window_->windowIcon().isNull())
            option.icon = window_->windowIcon();
        else
            option.subControls &= ~QStyle::SC_TitleBarSysMenu;
        option.titleBarState = static_cast<int>(window_->windowState());
        if (window_->isActiveWindow()) {
            option.state |= QStyle::State_Active;
            option.titleBarState |= QStyle::State_Active;
            option.palette.setCurrentColorGroup(QPalette::Active);
        } else {
            option.state &= ~QStyle::State_Active;
            option.palette.setCurrentColorGroup(QPalette::Inactive);
        }
        if (pressed_ != QStyle::SC_None) {
            option.activeSubControls = pressed_;
            option.state |= QStyle::State_Sunken;
        } else if (hovered_ != QStyle::SC_None) {
            option.activeSubControls = hovered_;
            option.state |= QStyle::State_MouseOver;
        }
        return option;
    }

    QStyle::SubControl ControlAt(const QPoint &position) const {
        const QStyleOptionTitleBar option = Option();
        return style()->hitTestComplexControl(QStyle::CC_TitleBar, &option, position, this);
    }

    // The width at which the whole caption fits between the icon and the
    // buttons. Styles draw it bold.
    int WidthForCaption() const {
        const QStyleOptionTitleBar option = Option();
        const QRect place = style()->subControlRect(QStyle::CC_TitleBar, &option, QStyle::SC_TitleBarLabel, this);
        QFont bold = font();
        bold.setBold(true);
        const int caption = QFontMetrics(bold).horizontalAdvance(option.text);
        return option.rect.width() - place.width() + caption + kCaptionSlack;
    }

    void WidenForCaption() {
        const int needed = WidthForCaption();
        // Only ever wider: a box that sized itself for its text keeps the
        // height it chose.
        if (window_->width() < needed) window_->setMinimumWidth(needed);
    }

    QWidget *window_;
    const Qt::WindowFlags buttons_;
    QStyle::SubControl pressed_ = QStyle::SC_None;
    QStyle::SubControl hovered_ = QStyle::SC_None;
};

}  // namespace

bool IsOwnTitleBar(const QWidget *widget) { return dynamic_cast<const OwnTitleBar *>(widget) != nullptr; }

void GiveOwnTitleBarOnWayland(QWidget *window) {
    if (window == nullptr || !window->isWindow()) return;
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) return;
    // A window already without a frame wants no title bar (and one given its
    // bar is one).
    const Qt::WindowFlags flags = window->windowFlags();
    if (flags.testFlag(Qt::FramelessWindowHint)) return;
    // Frameless, as far as the toolkit takes it: it drops the hint from flags
    // that customize the frame.
    window->setWindowFlags((flags & ~Qt::CustomizeWindowHint) | Qt::FramelessWindowHint);

    auto *bar = new OwnTitleBar(window, flags & kButtonHints);
    const int height = bar->BarHeight();
    if (window->layout() != nullptr) {
        QMargins margins = window->contentsMargins();
        margins.setTop(margins.top() + height);
        window->setContentsMargins(margins);  // the layout, and the size it asks for, start below
    } else {
        for (QWidget *child : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (child != bar && !child->isWindow()) child->move(child->x(), child->y() + height);
        if (window->minimumHeight() == window->maximumHeight())
            window->setFixedHeight(window->height() + height);
        else
            window->resize(window->width(), window->height() + height);
    }
    bar->raise();
}

// The baseline of the start-up benchmarks: a plain Qt window with the same
// kinds of widgets as the main window, in the same places (a menu bar with two
// menus and a command, tool buttons with icons, labels, sunken fields, a
// drop-down with one drive, a progress bar, a window icon), and nothing else:
// no fonts of its own, no dialogs, no drive.
#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QProgressBar>
#include <QToolButton>

namespace {
QPixmap Filled(int w, int h, Qt::GlobalColor colour) {
    QPixmap pixmap(w, h);
    pixmap.fill(colour);
    return pixmap;
}

QLabel *Label(QWidget *parent, const char *text, int x, int y, int w, int h, bool sunken) {
    auto *label = new QLabel(QString::fromLatin1(text), parent);
    label->setGeometry(x, y, w, h);
    if (sunken) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAutoFillBackground(true);
        label->setBackgroundRole(QPalette::ToolTipBase);
    } else {
        label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    }
    return label;
}
}  // namespace

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("MINIMAL"));
    window.setWindowIcon(QIcon(Filled(32, 32, Qt::darkCyan)));

    QMenuBar *menus = window.menuBar();
    QMenu *system = menus->addMenu(QStringLiteral("&System"));
    system->addAction(QStringLiteral("&Open"));
    system->addAction(QStringLiteral("E&xit"));
    menus->addMenu(QStringLiteral("&Flash"))->addAction(QStringLiteral("&Download"));
    menus->addAction(QStringLiteral("&About"));

    auto *client = new QWidget(&window);
    client->setFixedSize(429, 167);
    window.setCentralWidget(client);

    auto *toolbar = new QFrame(client);
    toolbar->setGeometry(0, 0, 429, 25);
    const char *names[] = {"Open", "Down", "About"};
    const Qt::GlobalColor colours[] = {Qt::darkYellow, Qt::darkGreen, Qt::darkBlue};
    for (int i = 0; i < 3; ++i) {
        auto *button = new QToolButton(toolbar);
        button->setText(QString::fromLatin1(names[i]));
        button->setGeometry(55 * i, 2, 55, 21);
        button->setAutoRaise(true);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setIconSize(QSize(16, 15));
        button->setIcon(QIcon(Filled(16, 15, colours[i])));
    }
    auto *separator = new QFrame(toolbar);
    separator->setGeometry(165, 2, 8, 21);
    separator->setFrameStyle(QFrame::VLine | QFrame::Sunken);
    Label(toolbar, "DRIVE: ", 173, 2, 39, 21, false);
    auto *drives = new QComboBox(toolbar);
    drives->setGeometry(212, 2, 217, 21);
    drives->addItem(QStringLiteral("QUORVEL BENCH-DRIVE      1.00"));

    auto *panel = new QFrame(client);
    panel->setGeometry(0, 26, 429, 141);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    const char *labels[] = {"MODEL NAME :", "OLD VERSION :", "NEW VERSION :", "DOWNLOAD FILE :", "STATUS :"};
    const char *fields[] = {"QUORVEL BENCH-DRIVE", "1.00", "", "NOT OPEN", ""};
    const int fieldWidths[] = {201, 41, 41, 201, 73};
    for (int i = 0; i < 5; ++i) {
        Label(panel, labels[i], 20, 16 + 16 * i, 108, 13, false);
        Label(panel, fields[i], 136, 16 + 16 * i, fieldWidths[i], 15, true);
    }
    auto *bar = new QProgressBar(panel);
    bar->setGeometry(42, 104, 337, 16);
    bar->setTextVisible(false);

    window.layout()->setSizeConstraint(QLayout::SetFixedSize);
    window.show();
    return QApplication::exec();
}

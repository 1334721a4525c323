#include "app/Quorvelabout.h"

#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include "app/Icons.h"
#include "platform/window/TitleBar.h"
#include "state/SharedState.h"

namespace {
QLabel *MakeLine(QWidget *parent, const char *name, const char *text, int x, int y) {
    auto *label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->move(x, y);
    label->adjustSize();  // each line is as wide as its text
    return label;
}
}  // namespace

TForm2::TForm2(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("ABOUT QUORVEL"));
    // Dialog frame: fixed size, no icon, system menu and close box only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon());  // no icon in the title bar, not even the main window's
    setFixedSize(251, 163);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    QFont font(QStringLiteral("Small Fonts"));
    font.setPixelSize(9);
    font.setWeight(QFont::Normal);
    setFont(font);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(109, 24, 33, 33);
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setPixmap(QPixmap::fromImage(QuorvelIconImage()));

    Label1 = MakeLine(this, "Label1", "QUORVEL Ver S2.02", 82, 8);
    Label2 = MakeLine(this, "Label2", "Flash Download For Windows 98/ME", 45, 64);
    Label3 = MakeLine(this, "Label3", "CD/DVD Drive Firmware", 75, 80);
    Label4 = MakeLine(this, "Label4", "2001.5.", 108, 96);
    Label5 = MakeLine(this, "Label5", "For ATAPI And SCSI CD/DVD Drives", 47, 112);

    Button1 = new QPushButton(QStringLiteral("&OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(97, 136, 57, 17);
    // Neither the default nor the cancel button; it has the focus on opening.
    Button1->setAutoDefault(false);
    Button1->setDefault(false);
    Button1->setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(Button1);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });

    GiveOwnTitleBarOnWayland(this);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm2::Button1Click(QObject *) { (Form2 != nullptr ? Form2 : this)->close(); }

void TForm2::keyPressEvent(QKeyEvent *event) {
    // Without a cancel button Escape closes nothing; Enter and the space bar
    // reach the focused OK button as they do any button.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    // A dialog without a default button would drop Enter: the focused OK
    // takes it, as a focused button does.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && focusWidget() == Button1) {
        event->accept();
        Button1->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm2::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    Button1->setFocus(Qt::OtherFocusReason);  // OK has the focus each time it opens
}

#include "app/Main.h"

#include <QAction>
#include <QCloseEvent>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>

#include "app/Icons.h"
#include "app/Quorvelabout.h"
#include "app/WindowFlash.h"
#include "app/AfterRestart.h"
#include "app/Discovery.h"
#include "app/Autorun.h"
#include "app/OpenCommand.h"
#include "platform/window/Fonts.h"
#include "platform/window/TitleBar.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "state/SharedState.h"

namespace {
// The toolbar: flat, with an edge line at its top and at its bottom; its
// buttons stand between the two, 2 pixels in.
class EdgedToolBar : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const QColor shadow = palette().color(QPalette::Dark);
        const QColor light = palette().color(QPalette::Light);
        const int w = width(), h = height();
        p.setPen(shadow);
        p.drawLine(0, 0, w - 1, 0);
        p.drawLine(0, h - 2, w - 1, h - 2);
        p.setPen(light);
        p.drawLine(0, 1, w - 1, 1);
        p.drawLine(0, h - 1, w - 1, h - 1);
    }
};

// The entries of the drive list are 13 pixels high.
class ItemHeightDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), 13};
    }
};

QFont WindowFont() {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont StatusFont() {
    QFont font(QStringLiteral("Small Fonts"));
    font.setPixelSize(9);
    font.setWeight(QFont::Normal);
    font.setFixedPitch(true);
    return font;
}

QLabel *MakeLabel(QWidget *parent, const char *name, const char *text, int x, int y, int w, int h) {
    auto *label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(x, y, w, h);
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    return label;
}

// A read-only field: fixed size, sunken border, info-background colour, no focus.
QLabel *MakeField(QWidget *parent, const char *name, const char *text, int x, int y, int w, int h) {
    auto *field = new QLabel(QString::fromLatin1(text), parent);
    field->setObjectName(QString::fromLatin1(name));
    field->setGeometry(x, y, w, h);
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    field->setLineWidth(1);
    field->setIndent(0);
    field->setMargin(0);
    field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    field->setAutoFillBackground(true);
    field->setBackgroundRole(QPalette::ToolTipBase);
    field->setForegroundRole(QPalette::ToolTipText);
    field->setFocusPolicy(Qt::NoFocus);
    field->setTextFormat(Qt::PlainText);
    return field;
}

QToolButton *MakeButton(QWidget *parent, const char *name, const char *text, int x, const QPixmap &image,
                        const QPixmap &hotImage) {
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(QString::fromLatin1(text));
    button->setGeometry(x, 2, 55, 21);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setFocusPolicy(Qt::NoFocus);
    button->setIconSize(QSize(16, 15));
    // Normal: the image list's picture; Active (the flat button under the
    // mouse): the picture of the hot list.
    QIcon icon;
    icon.addPixmap(image, QIcon::Normal);
    icon.addPixmap(hotImage, QIcon::Active);
    button->setIcon(icon);
    return button;
}
}  // namespace

void ShowApplicationException(const std::exception &error) {
    const char *message = error.what();
    if (message == nullptr || *message == '\0') message = "Unknown error.";
    MessageBoxA(Form1, message, "QUORVEL", MB_OK | MB_ICONERROR);
}

TForm1::TForm1(QWidget *parent) : QMainWindow(parent) {
    Form1 = this;
    MainForm = this;
    // fontconfig refuses these bitmap fonts, so the platform adds them; without
    // them the families fall back to what the system offers.
    static bool fontsMissingTold = false;
    const bool windowFontsLoaded = LoadWindowFonts();
    if (!windowFontsLoaded && !fontsMissingTold) {
        fontsMissingTold = true;
        WriteDiagnostic("quorvel: the fonts \"MS Sans Serif\" and \"Small Fonts\" are not installed (Debian package "
                        "fonts-wine): the window uses the system's fonts instead.");
    }
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("QUORVEL"));
    // Single fixed border, system menu and close box only, above every window
    // that is not itself kept on top.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
    setWindowIcon(QIcon(QPixmap::fromImage(QuorvelIconImage())));
    setFont(WindowFont());
    setBackgroundRole(QPalette::Button);

    SeleceImage = ToolbarImages(false);
    UnseleceImage = ToolbarImages(true);

    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    MainMenu1->setNativeMenuBar(false);
    setMenuBar(MainMenu1);
    System1 = MainMenu1->addMenu(QStringLiteral("&System"));
    System1->setObjectName(QStringLiteral("System1"));
    Open1 = System1->addAction(QStringLiteral("&Open"));
    Open1->setObjectName(QStringLiteral("Open1"));
    Exit1 = System1->addAction(QStringLiteral("E&xit"));
    Exit1->setObjectName(QStringLiteral("Exit1"));
    Flash1 = MainMenu1->addMenu(QStringLiteral("&Flash"));
    Flash1->setObjectName(QStringLiteral("Flash1"));
    Download1 = Flash1->addAction(QStringLiteral("&Download"));
    Download1->setObjectName(QStringLiteral("Download1"));
    About1 = MainMenu1->addAction(QStringLiteral("&About"));
    About1->setObjectName(QStringLiteral("About1"));

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("ClientArea"));
    client->setFixedSize(429, 167);
    client->setAutoFillBackground(true);
    client->setBackgroundRole(QPalette::Button);
    setCentralWidget(client);

    ToolBar1 = new EdgedToolBar(client);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setGeometry(0, 0, 429, 25);
    ToolButton1 = MakeButton(ToolBar1, "ToolButton1", "Open", 0, SeleceImage[0], UnseleceImage[0]);
    ToolButton2 = MakeButton(ToolBar1, "ToolButton2", "Down", 55, SeleceImage[1], UnseleceImage[1]);
    ToolButton3 = MakeButton(ToolBar1, "ToolButton3", "About", 110, SeleceImage[2], UnseleceImage[2]);
    ToolButton4 = new QFrame(ToolBar1);
    ToolButton4->setObjectName(QStringLiteral("ToolButton4"));
    ToolButton4->setGeometry(165, 2, 8, 21);
    ToolButton4->setFrameStyle(QFrame::VLine | QFrame::Sunken);
    Label1 = new QLabel(QStringLiteral("DRIVE: "), ToolBar1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(173, 2, 39, 21);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label1->setAutoFillBackground(true);
    Label1->setBackgroundRole(QPalette::Button);
    ComboBox1 = new QComboBox(ToolBar1);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(212, 2, 213, 21);
    ComboBox1->setEditable(false);
    ComboBox1->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
    ComboBox1->setItemDelegate(new ItemHeightDelegate(ComboBox1));
    ComboBox1->installEventFilter(this);

    Panel1 = new QFrame(client);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 26, 429, 141);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);

    Label2 = MakeLabel(Panel1, "Label2", "MODEL NAME :", 50, 16, 78, 13);
    Label3 = MakeLabel(Panel1, "Label3", "OLD VERSION :", 49, 32, 79, 13);
    Label4 = MakeLabel(Panel1, "Label4", "NEW VERSION :", 45, 48, 83, 13);
    Label5 = MakeLabel(Panel1, "Label5", "DOWNLOAD FILE :", 33, 64, 95, 13);
    Label6 = MakeLabel(Panel1, "Label6", "STATUS :", 79, 80, 49, 13);
    StaticText1 = MakeField(Panel1, "StaticText1", "", 136, 16, 201, 15);
    StaticText2 = MakeField(Panel1, "StaticText2", "", 136, 32, 41, 15);
    StaticText3 = MakeField(Panel1, "StaticText3", "", 136, 48, 41, 15);
    StaticText4 = MakeField(Panel1, "StaticText4", "NOT OPEN", 136, 64, 201, 15);
    StaticText5 = MakeField(Panel1, "StaticText5", "", 136, 80, 73, 15);
    StaticText5->setFont(StatusFont());
    QPalette red = StaticText5->palette();
    red.setColor(QPalette::ToolTipText, Qt::red);
    red.setColor(QPalette::WindowText, Qt::red);
    StaticText5->setPalette(red);

    ProgressBar1 = new QProgressBar(Panel1);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(42, 104, 337, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    // What a screen reader says: each field after its caption ("OLD VERSION :
    // 1.10"), the drive list after "DRIVE:". A caption's buddy is the relation
    // it reads (labelled-by); the names stay what the controls show. No caption
    // holds an '&', so no shortcut comes with the buddy.
    Label1->setBuddy(ComboBox1);
    Label2->setBuddy(StaticText1);
    Label3->setBuddy(StaticText2);
    Label4->setBuddy(StaticText3);
    Label5->setBuddy(StaticText4);
    Label6->setBuddy(StaticText5);
    ProgressBar1->setAccessibleName(QStringLiteral("Download progress"));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    if (!windowFontsLoaded) FitTextsToTheirPlaces();

    // Fixed size: the 429 x 167 client area under the menu bar.
    GiveOwnTitleBarOnWayland(this);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    connect(ToolButton1, &QToolButton::clicked, this, [this] { ToolButton1Click(ToolButton1); });
    connect(Open1, &QAction::triggered, this, [this] { ToolButton1Click(Open1); });
    connect(ToolButton2, &QToolButton::clicked, this, [this] { ToolButton2Click(ToolButton2); });
    connect(Download1, &QAction::triggered, this, [this] { ToolButton2Click(Download1); });
    connect(ToolButton3, &QToolButton::clicked, this, [this] { ToolButton3Click(ToolButton3); });
    connect(About1, &QAction::triggered, this, [this] { ToolButton3Click(About1); });
    connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(Exit1); });
    // Only the user's pick is a change of drive; the program setting the
    // index (discovery, the autorun match) is not.
    connect(ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(ComboBox1); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(Timer1); });

    FormCreate(this);
}

TForm1::~TForm1() {
    if (Form2 != nullptr && Form2->parent() == this) Form2 = nullptr;  // goes with its owner
    if (Form1 == this) Form1 = nullptr;
    if (MainForm == this) MainForm = nullptr;
}

void TForm1::FormCreate(QObject *) {
    DetectAutorun();

    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));
    if (TransferBuffer == nullptr) {
        // Without the buffer no command can be sent: nothing is probed or
        // loaded, and the program ends as soon as it starts.
        AutorunFlag = 0;
        MessageBoxA(Form1, "Not Enough Memory!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        PostQuitMessage(0);
    } else {
        OSVERSIONINFOA version{};
        version.dwOSVersionInfoSize = sizeof(version);
        GetVersionExA(&version);  // a failed query leaves the platform at 0: go on
        if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            AutorunFlag = 0;
            MessageBoxA(Form1, "Run in WINDOWS 98/ME !!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
            PostQuitMessage(0);
        } else {
            DiscoverDrives();
            FollowFlashUnderWay();
        }
    }

    LoadAutorunImage();

    ComboBox1->resize(ToolBar1->width() - ComboBox1->x(), ComboBox1->height());
}

// During a flash Open and the drive list are disabled; an assistive action
// that reaches them all the same changes nothing.
void TForm1::FitTextsToTheirPlaces() {
    // The places are fixed (the labels' widths, the buttons' 55 pixels), so a
    // font wider than the window's own would clip their texts: the font is
    // made as small as it must be for every text to fit, never below 7 pixels.
    const auto fits = [this] {
        for (QLabel *label : {Label1, Label2, Label3, Label4, Label5, Label6})
            if (label->fontMetrics().horizontalAdvance(label->text()) > label->width()) return false;
        for (QToolButton *button : {ToolButton1, ToolButton2, ToolButton3})
            if (button->sizeHint().width() > button->width()) return false;
        return true;
    };
    QFont fitted = font();
    for (int pixels = fitted.pixelSize(); pixels > 7 && !fits(); --pixels) {
        fitted.setPixelSize(pixels - 1);
        setFont(fitted);
    }
}

void TForm1::ToolButton1Click(QObject *) {
    if (FlashAllowsNow().newFlash) OpenImage();
}

void TForm1::ToolButton2Click(QObject *) { StartDownload(); }

void TForm1::Timer1Timer(QObject *) { ProgressTick(); }

void TForm1::ComboBox1Change(QObject *) {
    if (!FlashAllowsNow().newFlash) {
        ShowDriveEntry(SelectedIndex);
        return;
    }
    ChangeDrive(ComboBox1->currentIndex());
}

void TForm1::FormPaint(QObject *) {
    // Once the window is shown: whether the last flashes took, then the
    // start prompt.
    const bool checkDue = AfterRestartCheckDue();
    const bool promptDue = StartPromptDue();
    if (!checkDue && !promptDue) return;
    // A modal box must not run inside paintEvent: both run from the event
    // loop, right after this paint. OK runs Download as if Down had been
    // pressed.
    QMetaObject::invokeMethod(
        this,
        [this, checkDue, promptDue] {
            if (checkDue) CheckFlashesAfterRestart();
            if (promptDue && AskToStartDownload()) ToolButton2Click(ToolButton2);
        },
        Qt::QueuedConnection);
}

void TForm1::ToolButton3Click(QObject *) { AboutDialog()->exec(); }

// The two dialogs cost more to build than the rest of the window (the file
// dialog reads the MIME database, decodes its icons and lists a folder): each
// is built the first time it is needed and kept, the same object from then on.
QFileDialog *TForm1::OpenDialog() {
    if (OpenDialog1 == nullptr) {
        OpenDialog1 = new QFileDialog(this);
        OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
        OpenDialog1->setNameFilter(QStringLiteral("DOWNLOAD FILE(*.BIN)"));
        PrepareOpenDialog(OpenDialog1);  // *.BIN in any letter case
    }
    return OpenDialog1;
}

TForm2 *TForm1::AboutDialog() {
    if (Form2 == nullptr) Form2 = new TForm2(this);
    return Form2;
}

void TForm1::Exit1Click(QObject *) { close(); }

void TForm1::TerminationRequested() {
    // While the drive is being written the request waits for it (see
    // flash/Flash.h).
    if (FlashTakesEndRequest()) return;
    // Otherwise it ends the program as Exit does, whatever box is open; and
    // should no loop be running yet, as soon as one runs.
    Exit1Click(Exit1);
    QuitNow(0);
    PostQuitMessage(0);
}

void TForm1::closeEvent(QCloseEvent *event) {
    // Closing the window while the drive is written would leave the flash to
    // its process, and the result unseen: it waits for the drive's answer.
    if (!FlashAllowsNow().programEnd) {
        event->ignore();
        MessageBoxA(Form1, " DOWNLOAD BUSY!! \nWait for the result of the download.", "MESSAGE",
                    MB_SYSTEMMODAL | MB_ICONERROR);
        return;
    }
    FlashEndsWithProgram();
    QMainWindow::closeEvent(event);
}

bool TForm1::eventFilter(QObject *watched, QEvent *event) {
    // A turn of the wheel while the pointer merely passes over the list would
    // change the drive (and unload the image) without the user having picked.
    if (watched == ComboBox1 && event->type() == QEvent::Wheel && !ComboBox1->hasFocus()) return true;
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::paintEvent(QPaintEvent *event) {
    QMainWindow::paintEvent(event);
    FormPaint(this);
}

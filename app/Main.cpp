#include "app/Main.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>

#include "app/Quorvelabout.h"
#include "app/SharedState.h"
#include "drive/Discovery.h"
#include "image/Autorun.h"
#include "platform/win32.h"

namespace {
QLabel *MakeLabel(QWidget *parent, const char *name, const char *text, int x, int y, int w, int h) {
    auto *label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(x, y, w, h);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QLabel *MakeField(QWidget *parent, const char *name, const char *text, int x, int y, int w, int h) {
    auto *field = new QLabel(QString::fromLatin1(text), parent);
    field->setObjectName(QString::fromLatin1(name));
    field->setGeometry(x, y, w, h);
    field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    field->setAutoFillBackground(true);
    field->setBackgroundRole(QPalette::ToolTipBase);
    field->setFocusPolicy(Qt::NoFocus);
    return field;
}

QToolButton *MakeButton(QWidget *parent, const char *name, const char *text, int x) {
    auto *button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(QString::fromLatin1(text));
    button->setGeometry(x, 2, 55, 21);
    button->setAutoRaise(true);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}
}  // namespace

TForm1::TForm1(QWidget *parent) : QMainWindow(parent) {
    Form1 = this;
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("QUORVEL"));

    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
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
    setCentralWidget(client);

    ToolBar1 = new QFrame(client);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setGeometry(0, 0, 429, 25);
    ToolButton1 = MakeButton(ToolBar1, "ToolButton1", "Open", 0);
    ToolButton2 = MakeButton(ToolBar1, "ToolButton2", "Down", 55);
    ToolButton3 = MakeButton(ToolBar1, "ToolButton3", "About", 110);
    ToolButton4 = new QFrame(ToolBar1);
    ToolButton4->setObjectName(QStringLiteral("ToolButton4"));
    ToolButton4->setGeometry(165, 2, 8, 21);
    Label1 = new QLabel(QStringLiteral("DRIVE: "), ToolBar1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(173, 2, 39, 21);
    Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ComboBox1 = new QComboBox(ToolBar1);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->setGeometry(212, 2, 213, 21);
    ComboBox1->setEditable(false);
    ComboBox1->setFocusPolicy(Qt::ClickFocus);

    Panel1 = new QFrame(client);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 26, 429, 141);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);

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

    ProgressBar1 = new QProgressBar(Panel1);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(42, 104, 337, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setNameFilter(QStringLiteral("DOWNLOAD FILE(*.BIN)"));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);

    connect(ToolButton1, &QToolButton::clicked, this, [this] { ToolButton1Click(ToolButton1); });
    connect(Open1, &QAction::triggered, this, [this] { ToolButton1Click(Open1); });
    connect(ToolButton2, &QToolButton::clicked, this, [this] { ToolButton2Click(ToolButton2); });
    connect(Download1, &QAction::triggered, this, [this] { ToolButton2Click(Download1); });
    connect(ToolButton3, &QToolButton::clicked, this, [this] { ToolButton3Click(ToolButton3); });
    connect(About1, &QAction::triggered, this, [this] { ToolButton3Click(About1); });
    connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(Exit1); });
    connect(ComboBox1, QOverload<int>::of(&QComboBox::activated), this, [this] { ComboBox1Change(ComboBox1); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(Timer1); });

    FormCreate(this);
}

TForm1::~TForm1() {
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::FormCreate(QObject *) {
    DetectAutorun();

    TransferBuffer = static_cast<uint8_t *>(std::calloc(kTransferBufferSize, 1));

    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        AutorunFlag = 0;
        MessageBoxA(Form1, "Run in WINDOWS 98/ME !!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        PostQuitMessage(0);
    } else {
        DiscoverDrives();
    }

    LoadAutorunImage();

    ComboBox1->resize(ToolBar1->width() - ComboBox1->x(), ComboBox1->height());
}

void TForm1::ToolButton3Click(QObject *) { Form2->exec(); }

void TForm1::Exit1Click(QObject *) { close(); }

void TForm1::paintEvent(QPaintEvent *event) {
    QMainWindow::paintEvent(event);
    FormPaint(this);
}

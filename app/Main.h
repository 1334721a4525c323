// TForm1, the main window: its components, laid out in the constructor, and
// its event handlers. The handlers of the image and download commands are
// defined beside their subsystems (image/, download/); the window only routes
// the events to them.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QPixmap>
#include <exception>

class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QMenu;
class QMenuBar;
class QAction;
class QProgressBar;
class QTimer;
class QToolButton;
class QWidget;

// Adds the window fonts ("MS Sans Serif", "Small Fonts") from the system's
// font files; once per process, silently without them.
void LoadApplicationFonts();

// The application's exception display: an error box owned by the main window
// (when there is one) with the exception's message, captioned with the
// application's title.
void ShowApplicationException(const std::exception &error);

class TForm1 : public QMainWindow {
public:
    // Stores itself in Form1, lays out every component, then runs FormCreate.
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // Components, in declaration order. Each control's objectName is its name.
    QList<QPixmap> SeleceImage;    // 16 x 15: Open, Down, About
    QList<QPixmap> UnseleceImage;  // the same, shown under the mouse
    QFrame *Panel1 = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QFileDialog *OpenDialog1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *StaticText1 = nullptr;
    QLabel *StaticText2 = nullptr;
    QLabel *StaticText3 = nullptr;
    QLabel *StaticText4 = nullptr;
    QLabel *StaticText5 = nullptr;
    QTimer *Timer1 = nullptr;
    QMenuBar *MainMenu1 = nullptr;
    QMenu *System1 = nullptr;
    QAction *Open1 = nullptr;
    QAction *Exit1 = nullptr;
    QMenu *Flash1 = nullptr;
    QAction *About1 = nullptr;
    QAction *Download1 = nullptr;
    QWidget *ToolBar1 = nullptr;
    QLabel *Label1 = nullptr;
    QComboBox *ComboBox1 = nullptr;
    QToolButton *ToolButton1 = nullptr;
    QToolButton *ToolButton2 = nullptr;
    QToolButton *ToolButton3 = nullptr;
    QFrame *ToolButton4 = nullptr;

    // Event handlers. Sender is the component that raised the event.
    void FormCreate(QObject *Sender);        // app/Main.cpp
    void ToolButton1Click(QObject *Sender);  // Open: image/OpenCommand.cpp
    void ToolButton3Click(QObject *Sender);  // About: app/Main.cpp
    void ToolButton2Click(QObject *Sender);  // Download: download/Download.cpp
    void Timer1Timer(QObject *Sender);       // download/Progress.cpp
    void ComboBox1Change(QObject *Sender);   // drive/Discovery.cpp
    void Exit1Click(QObject *Sender);        // app/Main.cpp
    void FormPaint(QObject *Sender);         // image/Autorun.cpp

protected:
    void paintEvent(QPaintEvent *event) override;
    // Exit and the close box: refused while the final block is in the drive.
    void closeEvent(QCloseEvent *event) override;
    // The wheel reaches the drive list only when the list has the focus.
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// TForm1, the main window: its components, laid out in the constructor, and
// its event handlers, which route each event to its flow (the window's flows
// beside it in app/: Discovery, OpenCommand, Autorun, WindowFlash,
// AfterRestart). The flows reach the window back through MainWindow
// (state/MainWindow.h), which TForm1 implements.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QPixmap>
#include <exception>
#include <string>

#include "state/MainWindow.h"

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
class TForm2;

// The application's exception display: an error box owned by the main window
// (when there is one) with the exception's message, captioned with the
// application's title.
void ShowApplicationException(const std::exception &error);


class TForm1 : public QMainWindow, public MainWindow {
public:
    // Stores itself in Form1 and MainForm, lays out every component, then
    // runs FormCreate.
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // Components, in declaration order. Each control's objectName is its name.
    QList<QPixmap> SeleceImage;    // 16 x 15: Open, Down, About
    QList<QPixmap> UnseleceImage;  // the same, shown under the mouse
    QFrame *Panel1 = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QFileDialog *OpenDialog1 = nullptr;  // built by OpenDialog() on first use
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

    // The file dialog OpenDialog1 and the About dialog Form2, built the first
    // time they are needed (not at start), the same object every time after.
    QFileDialog *OpenDialog();
    TForm2 *AboutDialog();

    // Event handlers. Sender is the component that raised the event.
    void FormCreate(QObject *Sender);        // start-up
    void ToolButton1Click(QObject *Sender);  // Open: OpenImage, app/OpenCommand
    void ToolButton3Click(QObject *Sender);  // About
    void ToolButton2Click(QObject *Sender);  // Download: StartDownload, app/WindowFlash
    void Timer1Timer(QObject *Sender);       // ProgressTick, app/WindowFlash
    void ComboBox1Change(QObject *Sender);   // ChangeDrive, app/Discovery
    void Exit1Click(QObject *Sender);        // Exit
    void FormPaint(QObject *Sender);         // the autorun start prompt, app/Autorun
    // The system asked the program to end (SIGTERM, SIGINT, SIGHUP).
    void TerminationRequested();
    // Makes the window's font small enough for every fixed place's text: for
    // a font other than the window's own, which may be wider.
    void FitTextsToTheirPlaces();

    // MainWindow, for the flows.
    void SetField(Field field, const char *text) override;
    int BarPosition() override;
    void SetBarPosition(int position) override;
    void StartProgressTimer() override;
    void StopProgressTimer() override;
    bool ProgressTimerRunning() override;
    void AddDriveEntry(const std::string &identification) override;
    int DriveEntryCount() override;
    std::string DriveEntryText(int k) override;
    int ShownDriveEntry() override;
    void ShowDriveEntry(int k) override;
    void SetFlashCommandsEnabled(bool enabled) override;
    void SetExitEnabled(bool enabled) override;
    bool ChooseImageFile(std::string *path) override;
    HWND BoxOwner() override;

protected:
    void paintEvent(QPaintEvent *event) override;
    // Exit and the close box: refused while the flash does not allow the
    // program to end (the drive is being written).
    void closeEvent(QCloseEvent *event) override;
    // The wheel reaches the drive list only when the list has the focus.
    bool eventFilter(QObject *watched, QEvent *event) override;
};

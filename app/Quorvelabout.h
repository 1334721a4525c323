// TForm2, the About dialog: created hidden the first time the About command
// runs (TForm1::AboutDialog), shown modally by it then and every time after;
// OK and the close box hide it again.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QKeyEvent;
class QShowEvent;

class TForm2 : public QDialog {
public:
    // `parent`: the main window, which the dialog stays in front of while shown.
    explicit TForm2(QWidget *parent = nullptr);

    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QPushButton *Button1 = nullptr;

    void Button1Click(QObject *Sender);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
};

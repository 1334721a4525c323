// The program entry.
#include <QApplication>
#include <exception>

#include "app/Main.h"
#include "app/Quorvelabout.h"
#include "app/SharedState.h"
#include "platform/win32.h"

int main(int argc, char *argv[]) {
    try {
        QApplication application(argc, argv);
        try {
            new TForm1;
            Form2 = new TForm2;
            Form1->show();
            QApplication::exec();
        } catch (const std::exception &error) {
            MessageBoxA(Form1, error.what(), "QUORVEL", MB_ICONERROR);
        }
    } catch (const std::exception &) {
    }
    return 0;
}

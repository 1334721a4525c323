// The smallest Qt window of the main window's client size, for comparison.
#include <QApplication>
#include <QWidget>

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("MINIMAL"));
    window.resize(429, 167);
    window.show();
    return QApplication::exec();
}

// Finds the message box the code under test opens, from a timer of the
// user-interface thread, and hands it to the test while it is on the screen.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>

// Calls `inspect` once with the first visible message box, on the
// user-interface thread, while the box is open; `inspect` closes it.
inline void WhenBoxShown(std::function<void(QMessageBox *)> inspect) {
    auto *timer = new QTimer(qApp);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, inspect] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box != nullptr && box->isVisible()) {
                timer->stop();
                timer->deleteLater();
                inspect(box);
                return;
            }
        }
    });
    timer->start();
}

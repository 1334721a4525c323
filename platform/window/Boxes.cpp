// The modal message box and the file-open dialog.
#include "platform/window/Boxes.h"
#include "platform/window/win32_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "platform/window/TitleBar.h"
#include "platform/UiThread.h"
#include "platform/window/Quit.h"

void PrepareOpenDialog(QFileDialog *dialog) {
    // Names keep their case here, while the filter's pattern is written for a
    // system where they do not: the dialog's own file list matches it
    // ignoring case.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setFilter(dialog->filter() & ~QDir::CaseSensitive);
}

namespace qtlayer {

int ShowMessageBox(HWND owner, const char *text, const char *caption, UINT style) {
    const bool okCancel = (style & 0x0Fu) == MB_OKCANCEL;
    // The answer when the box cannot be asked or goes away unanswered: Cancel
    // where there is one, so that nothing starts that the user did not choose.
    const int unanswered = okCancel ? IDCANCEL : IDOK;
    if (WidgetApplication() == nullptr) return unanswered;

    // The texts are ANSI bytes (a drive's model among them), shown unchanged:
    // one byte, one character.
    const QString title = QString::fromLatin1(caption != nullptr ? caption : "");
    const QString body = QString::fromLatin1(text != nullptr ? text : "");
    QPointer<QWidget> parent(owner);
    return RunOnUiThread([&]() -> int {
        QPointer<QMessageBox> box = new QMessageBox(parent.data());
        box->setWindowTitle(title);
        box->setTextFormat(Qt::PlainText);
        box->setText(body);
        box->setIcon((style & 0xF0u) == MB_ICONERROR ? QMessageBox::Critical : QMessageBox::NoIcon);
        box->setStandardButtons(okCancel ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(okCancel ? QMessageBox::Cancel : QMessageBox::Ok);
        box->setWindowModality(Qt::ApplicationModal);
        if (style & MB_SYSTEMMODAL) box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
        GiveOwnTitleBarOnWayland(box);  // the whole caption, the close box alone
        box->exec();
        // The owner may have taken the box with it while it was open.
        if (box.isNull()) return unanswered;
        int answer = IDOK;
        if (okCancel) answer = box->clickedButton() == box->button(QMessageBox::Ok) ? IDOK : IDCANCEL;
        delete box.data();
        return answer;
    });
}

bool RunOpenDialog(QFileDialog *dialog, std::string *path) {
    if (dialog == nullptr || path == nullptr) return false;
    return RunOnUiThread([dialog, path]() -> bool {
        dialog->setFileMode(QFileDialog::ExistingFile);
        PrepareOpenDialog(dialog);  // whatever dialog it is given
        if (dialog->exec() != QDialog::Accepted) return false;
        const QStringList files = dialog->selectedFiles();
        if (files.size() != 1 || files.constFirst().isEmpty()) return false;
        *path = QFile::encodeName(files.constFirst()).toStdString();
        return true;
    });
}

}  // namespace qtlayer

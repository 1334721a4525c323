// The Open command: choose an image, read its trailer, check its model against
// the selected drive, report, and show it.
#include <QFileDialog>
#include <QLabel>
#include <cstring>
#include <string>

#include "app/Main.h"
#include "app/SharedState.h"
#include "image/ImageRules.h"
#include "image/OpenCommand.h"
#include "image/Trailer.h"
#include "platform/win32.h"

void ReportTrailerFailure(TrailerFailure why) {
    if (why == TrailerFailure::TooLarge)
        MessageBoxA(Form1, kTextFileTooLarge, "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
    else
        MessageBoxA(Form1, "File Not Opened!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
}

void PrepareOpenDialog(QFileDialog *dialog) {
    // Windows matches *.BIN whatever the letter case of the name; so must we.
    // Qt's own dialog matches name filters ignoring case unless told otherwise;
    // a desktop's native dialog may not, so ours is used.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setFilter(dialog->filter() & ~QDir::CaseSensitive);
}

void TForm1::ToolButton1Click(QObject *) {
    PrepareOpenDialog(Form1->OpenDialog1);
    std::string path;
    if (!CurrentWin32Layer().ExecuteOpenDialog(Form1->OpenDialog1, &path)) return;  // cancelled: nothing changes

    const std::string name = DisplayName(path);

    // ImagePath holds 131 characters. A longer path is refused whole: cutting it
    // would name another file, and copying it would overrun the buffer.
    if (path.size() >= sizeof(ImagePath) || path.find('\0') != std::string::npos) {
        ImagePath[0] = '\0';
        ImageSize = 0;
        MessageBoxA(Form1, kTextPathTooLong, "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        return;
    }
    std::memcpy(ImagePath, path.c_str(), path.size() + 1);

    TrailerFailure why = TrailerFailure::None;
    if (!ReadImageTrailer(ImagePath, &why)) {
        ReportTrailerFailure(why);
        ImageSize = 0;
        return;
    }

    if (std::memcmp(DriveModel, ImageModel, 24) != 0) {
        // The one application-modal error box.
        MessageBoxA(Form1, "Different Model !!", "MESSAGE", MB_ICONERROR);
        ImageSize = 0;
        return;
    }

    BlockSizeKb = ImageTrailer[28];
    BlockCount = ImageTrailer[29];
    const uint8_t lastBlockKb = LastBlockKbFromSize(ImageSize, BlockSizeKb, BlockCount);

    char text[128];
    wsprintfA(text, "File Open OK !!\n%ub %dKb %dCmd", static_cast<unsigned>(BlockSizeKb * 1024),
              static_cast<int>(lastBlockKb), static_cast<int>(BlockCount));
    MessageBoxA(Form1, text, "MESSAGE", MB_SYSTEMMODAL);

    Form1->StaticText1->setText(QString::fromLatin1(ImageModel));
    Form1->StaticText2->setText(QString::fromLatin1(DriveVersion));
    Form1->StaticText3->setText(QString::fromLatin1(ImageVersion));
    Form1->StaticText4->setText(QString::fromUtf8(name.c_str()));  // a name of this file system
    Form1->StaticText5->setText(QStringLiteral("READY"));
}

// Autorun: an image named AUTORUN.BIN in the working directory, or named on
// the command line, loaded at start, matched to the first drive of its model,
// and offered once when the window first paints.
#include "image/Autorun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QMetaObject>
#include <QToolButton>
#include <cstring>
#include <string>

#include "app/Main.h"
#include "app/SharedState.h"
#include "drive/Discovery.h"
#include "image/ImageRules.h"
#include "image/OpenCommand.h"
#include "image/Trailer.h"
#include "platform/win32.h"

namespace {
// "Can be opened for binary reading": an existing regular file we may read.
// O_NONBLOCK keeps a FIFO of that name from holding up the start.
bool CanOpenForReading(const char *name) {
    const int fd = ::open(ResolveFileName(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
}

void FormatImageFigures(char *out, const char *format) {
    const uint8_t lastBlockKb = LastBlockKbFromTrailer(BlockSizeKb, BlockCount);
    wsprintfA(out, format, static_cast<unsigned>(BlockSizeKb * 1024), static_cast<int>(lastBlockKb),
              static_cast<int>(BlockCount));
}

void ShowStartPrompt() {
    char text[160];
    FormatImageFigures(text, "File Open OK !!\n(%ub %dKb %dCmd)\n\n DOWNLOAD START !!");
    if (MessageBoxA(Form1, text, "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL) == IDOK)
        Form1->ToolButton2Click(Form1->ToolButton2);  // as if Down had been pressed
}
}  // namespace

void DetectAutorun() {
    if (CanOpenForReading("AUTORUN.BIN")) {
        AutorunFlag = 1;  // ImagePath keeps "AUTORUN.BIN"; the command line is not looked at
        return;
    }
    // At most 10 characters: always fits ImagePath.
    const std::string name = CommandLineName(GetCommandLineA());
    std::memcpy(ImagePath, name.c_str(), name.size() + 1);
    if (!name.empty()) AutorunFlag = 1;
}

void LoadAutorunImage() {
    if (AutorunFlag != 1) {
        ImagePath[0] = '\0';
        return;
    }

    TrailerFailure why = TrailerFailure::None;
    if (!ReadImageTrailer(ImagePath, &why)) {
        ReportTrailerFailure(why);
        AutorunFlag = 0;
        ImageSize = 0;
        return;
    }

    BlockSizeKb = ImageTrailer[28];
    BlockCount = ImageTrailer[29];
    if (!ImageSizeMatchesTrailer(ImageSize, BlockSizeKb, BlockCount)) {
        char text[160];
        FormatImageFigures(text, "File Open Fail (No Flash File) !!\n%ub %dKb %dCmd");
        MessageBoxA(Form1, text, "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        ImageSize = 0;
        AutorunFlag = 0;
        return;
    }

    int match = -1;
    for (int k = 0; k < DriveCount && k < kDriveTableSize; ++k) {
        ReadDriveEntry(k);
        if (std::memcmp(DriveModel, ImageModel, 24) == 0) {
            match = k;
            break;
        }
    }

    if (match < 0) {
        ImageSize = 0;
        AutorunFlag = 0;
        ShowDriveListEntry(0);
        if (DriveCount > 0) ReadDriveEntry(0);  // the first drive again, in every respect
        MessageBoxA(Form1, "File Not Opened!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        return;
    }

    // The matched drive becomes the selected one, silently: no drive-change
    // handling, the image stays loaded. DriveModel and DriveVersion already
    // hold its entry.
    ShowDriveListEntry(match);
    SelectedIndex = static_cast<uint8_t>(match);
    SelectedTarget = DriveTable[0][match];
    SelectedAdapter = DriveTable[1][match];

    Form1->StaticText1->setText(QString::fromLatin1(ImageModel));
    Form1->StaticText2->setText(QString::fromLatin1(DriveVersion));
    Form1->StaticText3->setText(QString::fromLatin1(ImageVersion));
    Form1->StaticText4->setText(QString::fromUtf8(ImagePath));
    Form1->StaticText5->setText(QStringLiteral("READY"));
}

void TForm1::FormPaint(QObject *) {
    if (PromptShown != 0 || AutorunFlag != 1) return;
    PromptShown = 1;  // before the box: later paints do nothing
    // A modal box must not run inside paintEvent: the prompt runs from the
    // event loop, right after this paint.
    QMetaObject::invokeMethod(this, [] { ShowStartPrompt(); }, Qt::QueuedConnection);
}

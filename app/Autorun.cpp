// Autorun: an image named AUTORUN.BIN in the working directory, or named on
// the command line, loaded at start, matched to the first drive of its model,
// and offered once when the window first paints.
#include "app/Autorun.h"

#include <cstring>
#include <string>

#include "app/Discovery.h"
#include "image/ImageRules.h"
#include "app/OpenCommand.h"
#include "image/Trailer.h"
#include "platform/Files.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

namespace {
void FormatImageFigures(char *out, const char *format) {
    const uint8_t lastBlockKb = LastBlockKbFromTrailer(BlockSizeKb, BlockCount);
    wsprintfA(out, format, static_cast<unsigned>(BlockSizeKb * 1024), static_cast<int>(lastBlockKb),
              static_cast<int>(BlockCount));
}

}  // namespace

void DetectAutorun() {
    // "Can be opened for binary reading": an existing regular file we may
    // read; a FIFO of that name must not hold up the start.
    if (CanOpenRawFile("AUTORUN.BIN")) {
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
        MessageBoxA(BoxOwner(), text, "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        ImageSize = 0;
        AutorunFlag = 0;
        return;
    }

    int match = -1;
    for (int k = 0; k < DriveCount && k < kDriveTableSize; ++k) {
        ReadDriveEntry(k);
        if (ModelMatches(DriveModel, ImageModel)) {
            match = k;
            break;
        }
    }

    if (match < 0) {
        ImageSize = 0;
        AutorunFlag = 0;
        ShowDriveListEntry(0);
        if (DriveCount > 0) ReadDriveEntry(0);  // the first drive again, in every respect
        MessageBoxA(BoxOwner(), "File Not Opened!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        return;
    }

    // The matched drive becomes the selected one, silently: no drive-change
    // handling, the image stays loaded.
    SelectDriveEntry(match);

    MainForm->SetField(Field::ModelName, ImageModel);
    MainForm->SetField(Field::OldVersion, DriveVersion);
    MainForm->SetField(Field::NewVersion, ImageVersion);
    MainForm->SetField(Field::DownloadFile, ImagePath);
    MainForm->SetField(Field::Status, "READY");
}

bool StartPromptDue() {
    if (PromptShown != 0 || AutorunFlag != 1) return false;
    PromptShown = 1;  // before the box: later paints do nothing
    return true;
}

bool AskToStartDownload() {
    char text[160];
    FormatImageFigures(text, "File Open OK !!\n(%ub %dKb %dCmd)\n\n DOWNLOAD START !!");
    return MessageBoxA(BoxOwner(), text, "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL) == IDOK;
}

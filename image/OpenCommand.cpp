// The Open command: choose an image, read its trailer, check its model against
// the selected drive, report, and show it.
#include "image/OpenCommand.h"

#include <cstring>
#include <string>

#include "image/ImageRules.h"
#include "image/Trailer.h"
#include "platform/win32.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

void ReportTrailerFailure(TrailerFailure why) {
    if (why == TrailerFailure::TooLarge)
        MessageBoxA(BoxOwner(), kTextFileTooLarge, "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
    else
        MessageBoxA(BoxOwner(), "File Not Opened!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
}

void OpenImage() {
    std::string path;
    if (!MainForm->ChooseImageFile(&path)) return;  // cancelled: nothing changes

    const std::string name = DisplayName(path);

    // ImagePath holds 131 characters. A longer path is refused whole: cutting it
    // would name another file, and copying it would overrun the buffer.
    if (path.size() >= sizeof(ImagePath) || path.find('\0') != std::string::npos) {
        ImagePath[0] = '\0';
        ImageSize = 0;
        MessageBoxA(BoxOwner(), kTextPathTooLong, "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        return;
    }
    std::memcpy(ImagePath, path.c_str(), path.size() + 1);

    TrailerFailure why = TrailerFailure::None;
    if (!ReadImageTrailer(ImagePath, &why)) {
        ReportTrailerFailure(why);
        ImageSize = 0;
        return;
    }

    if (!ModelMatches(DriveModel, ImageModel)) {
        // The one application-modal error box.
        MessageBoxA(BoxOwner(), "Different Model !!", "MESSAGE", MB_ICONERROR);
        ImageSize = 0;
        return;
    }

    BlockSizeKb = ImageTrailer[28];
    BlockCount = ImageTrailer[29];
    const uint8_t lastBlockKb = LastBlockKbFromSize(ImageSize, BlockSizeKb, BlockCount);

    char text[128];
    wsprintfA(text, "File Open OK !!\n%ub %dKb %dCmd", static_cast<unsigned>(BlockSizeKb * 1024),
              static_cast<int>(lastBlockKb), static_cast<int>(BlockCount));
    MessageBoxA(BoxOwner(), text, "MESSAGE", MB_SYSTEMMODAL);

    MainForm->SetField(Field::ModelName, ImageModel);
    MainForm->SetField(Field::OldVersion, DriveVersion);
    MainForm->SetField(Field::NewVersion, ImageVersion);
    MainForm->SetField(Field::DownloadFile, name.c_str());
    MainForm->SetField(Field::Status, "READY");
}

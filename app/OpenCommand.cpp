// The Open command: choose an image, read its trailer, check its model against
// the selected drive, report, and show it.
#include "app/OpenCommand.h"

#include <string>

#include "image/ImageRules.h"
#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "state/MainWindow.h"
#include "state/SharedState.h"

void ReportTrailerFailure(TrailerFailure why) {
    MessageBoxA(BoxOwner(), ImageRefusalText(ImageLoad::Unreadable, why), "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
}

void OpenImage() {
    std::string path;
    if (!MainForm->ChooseImageFile(&path)) return;  // cancelled: nothing changes

    const std::string name = DisplayName(path);
    TrailerFailure why = TrailerFailure::None;
    const ImageLoad load = LoadImageFile(path, DriveModel, &why);
    if (load == ImageLoad::DifferentModel) {
        // The one application-modal error box.
        MessageBoxA(BoxOwner(), ImageRefusalText(load, why), "MESSAGE", MB_ICONERROR);
        return;
    }
    if (load != ImageLoad::Loaded) {
        MessageBoxA(BoxOwner(), ImageRefusalText(load, why), "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR);
        return;
    }

    MessageBoxA(BoxOwner(), ImageFiguresText().c_str(), "MESSAGE", MB_SYSTEMMODAL);

    MainForm->SetField(Field::ModelName, ImageModel);
    MainForm->SetField(Field::OldVersion, DriveVersion);
    MainForm->SetField(Field::NewVersion, ImageVersion);
    MainForm->SetField(Field::DownloadFile, name.c_str());
    MainForm->SetField(Field::Status, "READY");
}

// The shared state every program's flows use: the selected drive, the loaded
// image, the transfer buffer. The window's own part is in WindowState.cpp, so
// that a program without the window links none of it.
#include "state/SharedState.h"

uint8_t SelectedTarget = 0;
uint8_t SelectedAdapter = 0;
int32_t ImageSize = 0;
char ImagePath[kImagePathSize] = "AUTORUN.BIN";
uint8_t *TransferBuffer = nullptr;
RawFile *ImageFile = nullptr;
char DriveModel[25] = {};
char DriveVersion[5] = {};
char ImageModel[25] = {};
char ImageVersion[5] = {};
uint8_t ImageTrailer[30] = {};
int32_t BlockSizeKb = 0;
int32_t BlockCount = 0;

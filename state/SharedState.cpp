#include "state/SharedState.h"

#include "state/MainWindow.h"

TForm1 *Form1 = nullptr;
TForm2 *Form2 = nullptr;
MainWindow *MainForm = nullptr;

uint8_t SelectedIndex = 0;
uint8_t DriveCount = 0;
uint8_t SelectedTarget = 0;
uint8_t SelectedAdapter = 0;
int32_t ImageSize = 0;
char ImagePath[kImagePathSize] = "AUTORUN.BIN";
int32_t AutorunFlag = 0;
std::atomic<int32_t> BusyFlag{1};
int32_t TimerTicks = 0;
int32_t PromptShown = 0;
uint8_t *TransferBuffer = nullptr;
RawFile *ImageFile = nullptr;
char DriveModel[25] = {};
char DriveVersion[5] = {};
char ImageModel[25] = {};
char ImageVersion[5] = {};
uint8_t ImageTrailer[30] = {};
int32_t BlockSizeKb = 0;
int32_t BlockCount = 0;
uint8_t DriveTable[2][kDriveTableSize] = {};

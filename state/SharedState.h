// The process-wide state that the window's handlers and the flows share:
// plain variables, defined once in SharedState.cpp, with their widths and
// initial values.
#pragma once

#include <cstdint>

class TForm1;
class TForm2;
class RawFile;

extern TForm1 *Form1;  // the main window, set before its creation begins
extern TForm2 *Form2;  // the About dialog

extern uint8_t SelectedIndex;    // drive-list index of the selected drive
extern uint8_t DriveCount;       // drives in the list
extern uint8_t SelectedTarget;   // target id commands go to
extern uint8_t SelectedAdapter;  // host adapter of that drive
extern int32_t ImageSize;        // bytes of the loaded image; 0: none loaded

constexpr int kImagePathSize = 132;  // 131 characters and the zero
extern char ImagePath[kImagePathSize];

extern int32_t AutorunFlag;
extern int32_t TimerTicks;
extern int32_t PromptShown;

constexpr int kTransferBufferSize = 524288;  // 512 KiB
extern uint8_t *TransferBuffer;
extern RawFile *ImageFile;  // the image file while a flow reads it

extern char DriveModel[25];
extern char DriveVersion[5];
extern char ImageModel[25];
extern char ImageVersion[5];
extern uint8_t ImageTrailer[30];
extern int32_t BlockSizeKb;
extern int32_t BlockCount;

constexpr int kDriveTableSize = 8;
// DriveTable[0][k]: target id of list position k; DriveTable[1][k]: its host adapter.
extern uint8_t DriveTable[2][kDriveTableSize];

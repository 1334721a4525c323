// The shared state only the window's flows use: its forms, its drive list,
// autorun's prompt, the bar's count.
#include "state/MainWindow.h"
#include "state/SharedState.h"

TForm1 *Form1 = nullptr;
TForm2 *Form2 = nullptr;
MainWindow *MainForm = nullptr;

uint8_t SelectedIndex = 0;
uint8_t DriveCount = 0;
int32_t AutorunFlag = 0;
int32_t TimerTicks = 0;
int32_t PromptShown = 0;
uint8_t DriveTable[2][kDriveTableSize] = {};

// placeholder
#include "download/Download.h"

#include "app/Main.h"

void TForm1::ToolButton2Click(QObject *) {}
DWORD FinalBlockThread(void *) { return 0; }
void ReportDownloadResult(uint8_t) {}

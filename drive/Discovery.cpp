// placeholder: discovery comes next
#include "drive/Discovery.h"

#include "app/Main.h"

void DiscoverDrives() {}
void ReadDriveEntry(int) {}
void ShowDriveListEntry(int) {}
void TForm1::ComboBox1Change(QObject *) {}

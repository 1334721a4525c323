// placeholder
#include "app/Main.h"

void TForm1::ToolButton1Click(QObject *) {}

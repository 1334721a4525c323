// placeholder
#include "app/Main.h"

void TForm1::Timer1Timer(QObject *) {}

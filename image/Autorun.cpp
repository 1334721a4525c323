// placeholder
#include "image/Autorun.h"

#include "app/Main.h"
#include "app/SharedState.h"

void DetectAutorun() {}
void LoadAutorunImage() {
    if (AutorunFlag != 1) ImagePath[0] = '\0';
}
void TForm1::FormPaint(QObject *) {}

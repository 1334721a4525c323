// The program's pictures, drawn in the 16 colours of the standard VGA palette:
// the window icon (also the About picture) and the toolbar images.
#pragma once

#include <QImage>
#include <QList>
#include <QPixmap>

// 32 x 32, 16 colours and transparency.
QImage QuorvelIconImage();
// 16 x 15 each: Open, Down, About. `hot`: the images shown under the mouse.
QList<QPixmap> ToolbarImages(bool hot);

// The title bar of the program's windows where the program must draw it
// itself: natively on Wayland.
#pragma once

class QWidget;

// Natively on Wayland a window's title bar is the client's to draw unless the
// compositor offers to (GNOME and Weston do not), and Qt's Wayland plugin then
// draws one that ignores the window's flags: minimize and maximize buttons on
// every window, whatever its size, and the caption clipped before them, so
// that a narrow box reads "MESS.". There `window` is framed without the
// plugin's bar and gets one of its own, painted by the widget style: the whole
// caption (a window too narrow for it is widened), the window's own icon if it
// has one, and only the buttons that its flags name; dragging it moves the
// window. The window keeps its client area: a layout's contents go below the
// bar, and children placed by hand move down by its height.
//
// Call it before the window is first shown. On any other platform (X11,
// offscreen) it does nothing: there the window system draws the frame from
// the same flags.
void GiveOwnTitleBarOnWayland(QWidget *window);

// Whether `widget` is such a bar: a part of the window's frame, which mouse
// capture leaves alone as it leaves the window system's frame alone on X11.
bool IsOwnTitleBar(const QWidget *widget);

// The window's message loop and its modal loops: whether there is a widget
// application at all, and how a quit request reaches the loop (Quit.cpp).
#pragma once

class QApplication;

namespace qtlayer {

// The application object when it is a widget application; nullptr without
// one (no window can be shown then).
QApplication *WidgetApplication();
// PostQuitMessage: asks the message loop to end with `code` once it runs
// with no modal box open.
void PostQuit(int code);
// Ends every loop of the user-interface thread at once, modal ones included.
void QuitAtOnce(int code);

}  // namespace qtlayer

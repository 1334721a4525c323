// Inside the platform layer: mouse capture and the screen cursor, as one
// layer keeps them. Every call does its work on the user-interface thread,
// whichever thread makes it.
#pragma once

#include <QPointer>
#include <atomic>

#include "platform/win32.h"

namespace qtlayer {

class CaptureFilter;

// SetCapture and ReleaseCapture: an application event filter that swallows
// the mouse aimed at the capture window.
class MouseCapture {
public:
    MouseCapture();
    ~MouseCapture();
    MouseCapture(const MouseCapture &) = delete;
    MouseCapture &operator=(const MouseCapture &) = delete;

    // Captures `window` (nullptr: none); returns the previous capture window.
    HWND Set(HWND window);
    void Release();

private:
    QPointer<CaptureFilter> filter_;  // user-interface thread only
};

// SetScreenCursor and ScreenCursor: the hourglass is one application
// override cursor of our own.
class CursorOverride {
public:
    void Set(int cursor);
    int Get() const { return cursor_.load(); }

private:
    bool pushed_ = false;  // user-interface thread only
    std::atomic<int> cursor_{crDefault};
};

}  // namespace qtlayer

// Inside the platform layer: what holds off shutdown, sleep and logout while
// a drive's flash is written.
#pragma once

#include <functional>
#include <string>

#include "platform/Hold.h"

namespace qtlayer {

// logind's "shutdown:sleep" block inhibitor on the system bus, and the desktop
// portal's inhibitor for logout and suspend (org.freedesktop.portal.Inhibit)
// on the session bus, both asked without waiting. Each is kept when its answer
// comes, and let go when the hold is destroyed, or at once if its answer comes
// only after that. Answered() tells when both have answered. Never null.
// Made and destroyed on the user-interface thread. What the flash should know
// (no bus, an inhibitor refused) goes to `say`, each line once a run, while
// the hold lasts; with no `say`, to standard error after the program's name.
// No bus is ever started to ask: without a session bus the portal is not
// asked, and `say` is told.
Hold TakeFlashInhibitors(const char *why, const std::function<void(const std::string &)> &say);

}  // namespace qtlayer

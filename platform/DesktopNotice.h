// A notice on the user's desktop, for what nobody is left to be told of in a
// window or on a terminal: org.freedesktop.Notifications on the session bus.
#pragma once

#include <string>

namespace qtlayer {

// Shows `summary` and `body` as a notice of the program's own, its icon the
// window's. False when the session has no bus (none is started for it) or no
// notification service, or the service did not answer within two seconds.
bool NotifyDesktop(const std::string &summary, const std::string &body);

}  // namespace qtlayer

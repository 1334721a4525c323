// Inside the platform layer: logind's manager on the system bus, for the
// restart and for the inhibitor that holds off shutdown and sleep.
#pragma once

namespace qtlayer {

// org.freedesktop.login1.Manager.Reboot(true), sent without waiting for the
// answer; false when there is no system bus or the call cannot be sent.
bool RequestLogin1Reboot();
// A "shutdown:sleep" block inhibitor: a descriptor >= 0 that holds it until
// it is closed, or -1 when the bus offers no logind.
int TakeLogin1Inhibitor(const char *why);
// Closes the descriptor, and with it the inhibitor; -1 does nothing.
void ReleaseLogin1Inhibitor(int fd);

}  // namespace qtlayer

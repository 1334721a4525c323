// Inside the platform layer: the restart through logind's manager on the
// system bus.
#pragma once

#include <QString>
#include <optional>

class QDBusMessage;

namespace qtlayer {

// org.freedesktop.login1.Manager.Reboot(true), sent without waiting for the
// answer; false when there is no system bus or the call cannot be sent. The
// answer, whenever it comes, is reported on the user-interface thread: a
// refusal with ReportRestartRefusal, an acceptance with
// ReportRestartAcceptance.
bool RequestLogin1Reboot();

// What logind's answer to Reboot means, decided in one place: nothing when it
// accepted; otherwise the reason, in words for the user, from the error's
// name and message.
std::optional<QString> RestartRefusal(const QDBusMessage &answer);

}  // namespace qtlayer

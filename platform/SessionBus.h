// The user's session bus, as the platform's calls that need it reach it.
#pragma once

#include <QDBusConnection>
#include <optional>

namespace qtlayer {

// The session's bus, without ever starting one: with no address given, the
// bus library would launch a bus of its own for an X display (and wait
// seconds for it). The session's socket in the runtime folder is used where
// there is one; otherwise there is no session bus.
std::optional<QDBusConnection> SessionBus();

}  // namespace qtlayer

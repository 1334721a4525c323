#include "platform/SessionBus.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

std::optional<QDBusConnection> qtlayer::SessionBus() {
    const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0') return QDBusConnection::sessionBus();
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    if (runtime != nullptr && runtime[0] == '/') {
        const std::string socket = std::string(runtime) + "/bus";
        if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
            return QDBusConnection::connectToBus(QString::fromStdString("unix:path=" + socket),
                                                 QStringLiteral("quorvel-session-bus"));
    }
    return std::nullopt;
}

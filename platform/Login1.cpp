// logind on the system bus: the restart and the shutdown inhibitor.
#include "platform/Login1.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QString>
#include <QVariant>

namespace {

const char kLogin1Service[] = "org.freedesktop.login1";
const char kLogin1Path[] = "/org/freedesktop/login1";
const char kLogin1Manager[] = "org.freedesktop.login1.Manager";
// logind answers Inhibit at once; this only bounds a bus that does not.
constexpr int kInhibitTimeoutMs = 5000;

QDBusMessage Login1Call(const char *method) {
    return QDBusMessage::createMethodCall(QLatin1String(kLogin1Service), QLatin1String(kLogin1Path),
                                          QLatin1String(kLogin1Manager), QLatin1String(method));
}

}  // namespace

namespace qtlayer {

bool RequestLogin1Reboot() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = Login1Call("Reboot");
    call << true;  // interactive: the system may ask the user to allow it
    call.setInteractiveAuthorizationAllowed(true);
    // Sent without waiting for the answer: the program does not examine it.
    return bus.send(call);
}

int TakeLogin1Inhibitor(const char *why) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return -1;
    if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) return -1;
    QDBusMessage call = Login1Call("Inhibit");
    call << QStringLiteral("shutdown:sleep") << QStringLiteral("QUORVEL")
         << QString::fromLocal8Bit(why != nullptr ? why : "") << QStringLiteral("block");
    const QDBusMessage reply = bus.call(call, QDBus::Block, kInhibitTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return -1;
    const QVariant value = reply.arguments().constFirst();
    if (value.metaType() != QMetaType::fromType<QDBusUnixFileDescriptor>()) return -1;
    const QDBusUnixFileDescriptor held = value.value<QDBusUnixFileDescriptor>();
    if (!held.isValid()) return -1;
    // The reply's descriptor closes with the reply; ours stays open until
    // it is released, and with it the inhibitor.
    return ::fcntl(held.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

void ReleaseLogin1Inhibitor(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace qtlayer

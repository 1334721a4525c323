// A caller for the login1 service tests, on the bus at DBUS_SYSTEM_BUS_ADDRESS.
//   sim_login1_client reboot   calls Reboot(true), prints "answered", then
//                              waits for stdin to close (the service should
//                              end it first)
//   sim_login1_client inhibit  calls Inhibit, prints "taken" with the lock
//                              held, and closes it when stdin closes
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <cstdio>

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2) return 2;
    QString what = QString::fromLatin1(argv[1]);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no bus\n");
        return 3;
    }
    auto call = [](const char *method) {
        return QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QString::fromLatin1(method));
    };
    QDBusUnixFileDescriptor lock;
    if (what == QLatin1String("reboot")) {
        QDBusMessage message = call("Reboot");
        message << true;
        QDBusMessage reply = bus.call(message);
        if (reply.type() != QDBusMessage::ReplyMessage) return 4;
        std::printf("answered\n");
    } else if (what == QLatin1String("inhibit")) {
        QDBusMessage message = call("Inhibit");
        message << QStringLiteral("shutdown:sleep") << QStringLiteral("QUORVEL")
                << QStringLiteral("Firmware download in progress") << QStringLiteral("block");
        QDBusMessage reply = bus.call(message);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return 4;
        lock = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().at(0));
        if (!lock.isValid()) return 5;
        std::printf("taken\n");
    } else {
        return 2;
    }
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    lock = QDBusUnixFileDescriptor();  // closes our copy of the lock
    std::printf("closed\n");
    return 0;
}

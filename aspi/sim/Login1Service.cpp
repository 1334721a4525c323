// quorvel-sim-login1: the simulated machine's login1 on a private bus.
// Reboot is recorded and restarts the machine the caller runs on (its drives
// take the firmware they accepted) and ends the program that asked (or, with
// --refuse-reboot, is refused as polkit refuses it); Inhibit hands out the
// write end of a pipe and records when the caller takes it and when it closes
// it. With --notifications it is the desktop's notification service on a
// session bus instead, recording every notice. Formats in aspi/sim/README.md.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QSocketNotifier>
#include <QStringList>
#include <QVariantMap>
#include <QTimer>
#include <cerrno>
#include <cstdio>

#include "aspi/sim/StateFile.h"

namespace {

QString Timestamp() {
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

// A string as a quoted value: printable ASCII as is, '"' and '\' escaped,
// every other byte of its UTF-8 form as \xHH.
QString Quoted(const QString &text) {
    QByteArray bytes = text.toUtf8();
    QString out = QStringLiteral("\"");
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') out += QStringLiteral("\\") + QLatin1Char(static_cast<char>(c));
        else if (c >= 0x20 && c <= 0x7E) out += QLatin1Char(static_cast<char>(c));
        else out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return out + QLatin1Char('"');
}

// One line appended to the record, with one write.
void AppendToRecord(const QString &recordPath, const QString &text) {
    QByteArray line = (Timestamp() + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8();
    int fd = ::open(recordPath.toLocal8Bit().constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "quorvel-sim-login1: cannot open %s\n", recordPath.toLocal8Bit().constData());
        return;
    }
    ssize_t written = ::write(fd, line.constData(), static_cast<size_t>(line.size()));
    if (written != line.size()) std::fprintf(stderr, "quorvel-sim-login1: short write\n");
    ::close(fd);
}

uint CallerPid(const QDBusConnection &bus, const QString &caller) {
    QDBusReply<uint> reply = bus.interface()->servicePid(caller);
    return reply.isValid() ? reply.value() : 0;
}

// The desktop's notification service, as a session has one: every notice
// recorded, each answered with a new id.
class Notifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit Notifications(QString recordPath) : recordPath_(std::move(recordPath)) {}

public slots:
    uint Notify(const QString &app, uint replaces, const QString &icon, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &hints, int timeout) {
        (void)replaces;
        (void)actions;
        (void)hints;
        const QString caller = message().service();
        const uint pid = CallerPid(connection(), caller);
        const QString format = QStringLiteral("notify app=%1 icon=%2 summary=%3 body=%4 timeout=%5 caller=%6 pid=%7");
        AppendToRecord(recordPath_, format.arg(Quoted(app), Quoted(icon), Quoted(summary), Quoted(body))
                                        .arg(timeout)
                                        .arg(caller, pid ? QString::number(pid) : QStringLiteral("unknown")));
        return ++lastId_;
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }

private:
    QString recordPath_;
    uint lastId_ = 0;
};

// The machine a process runs on: its QUORVEL_SIM_MACHINE and QUORVEL_SIM_STATE
// as it was started with them, a relative path taken from its working folder.
struct CallersMachine {
    QString machine, state;
};
CallersMachine MachineOf(uint pid) {
    CallersMachine found;
    QFile environment(QStringLiteral("/proc/%1/environ").arg(pid));
    if (pid == 0 || !environment.open(QIODevice::ReadOnly)) return found;
    const QString folder = QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(pid));
    for (const QByteArray &entry : environment.readAll().split('\0')) {
        const qsizetype equals = entry.indexOf('=');
        const QByteArray name = entry.left(equals);
        QString value = QString::fromLocal8Bit(entry.mid(equals + 1));
        if (equals <= 0 || value.isEmpty()) continue;
        if (!value.startsWith(QLatin1Char('/')) && !folder.isEmpty()) value = folder + QLatin1Char('/') + value;
        if (name == "QUORVEL_SIM_MACHINE") found.machine = value;
        else if (name == "QUORVEL_SIM_STATE") found.state = value;
    }
    return found;
}

// Restarts the caller's simulated machine; the record's fields that say so.
QString RestartCallersMachine(uint pid) {
    const CallersMachine caller = MachineOf(pid);
    if (caller.machine.isEmpty()) return QStringLiteral("machine=none");
    const quorvel_sim::Restart restart =
        quorvel_sim::RestartMachine(caller.machine.toStdString(), caller.state.toStdString());
    QString fields = QStringLiteral("machine=") + Quoted(caller.machine);
    if (!restart.error.empty())
        return fields + QStringLiteral(" error=") + Quoted(QString::fromStdString(restart.error));
    QStringList taken;
    for (const auto &[address, revision] : restart.taken)
        taken << QStringLiteral("%1:%2").arg(address.first).arg(address.second);
    return fields + QStringLiteral(" taken=") + (taken.isEmpty() ? QStringLiteral("none") : taken.join(QLatin1Char(',')));
}

class Login1Manager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    Login1Manager(QString recordPath, bool refuseReboot, int answerDelayMs)
        : recordPath_(std::move(recordPath)), refuseReboot_(refuseReboot), answerDelayMs_(answerDelayMs) {}

public slots:
    void Reboot(bool interactive) {
        QString caller = message().service();
        const QString asked = interactive ? QStringLiteral("true") : QStringLiteral("false");
        // The answer may wait, as it does while polkit asks the user.
        setDelayedReply(true);
        const QDBusMessage call = message();
        QDBusConnection bus = connection();
        const uint pid = refuseReboot_ ? 0 : CallerPid(caller);  // asked now, while the call is ours
        QTimer::singleShot(answerDelayMs_, this, [this, call, bus, caller, asked, pid]() mutable {
            if (refuseReboot_) {
                Record(QStringLiteral("reboot refused interactive=%1 caller=%2").arg(asked, caller));
                bus.send(call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                               QStringLiteral("Interactive authentication required.")));
                return;
            }
            bool killable = pid > 1 && static_cast<pid_t>(pid) != ::getpid();
            // The machine goes down with the answer: what its drives accepted
            // is what they run once it is up again.
            const QString restarted = RestartCallersMachine(killable ? pid : 0);
            Record(QStringLiteral("reboot interactive=%1 caller=%2 pid=%3 signal=%4 %5")
                       .arg(asked, caller, killable ? QString::number(pid) : QStringLiteral("unknown"),
                            killable ? QStringLiteral("SIGTERM") : QStringLiteral("none"), restarted));
            // Answer first, then restart the machine: the shutdown ends the
            // program that asked a moment later, as a real one does.
            bus.send(call.createReply());
            if (killable)
                QTimer::singleShot(kShutdownAfterAnswerMs, this, [pid] { ::kill(static_cast<pid_t>(pid), SIGTERM); });
        });
    }

    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            sendErrorReply(QDBusError::Failed, QStringLiteral("pipe: %1").arg(errno));
            return {};
        }
        QString caller = message().service();
        uint pid = CallerPid(caller);
        int id = ++lastInhibitor_;
        QString description = QStringLiteral("what=%1 who=%2 why=%3 mode=%4")
                                  .arg(Quoted(what), Quoted(who), Quoted(why), Quoted(mode));
        // The caller's copy goes out with the answer; ours is closed at once,
        // so the read end sees the hang-up when the caller's last copy closes.
        QDBusUnixFileDescriptor handed(fds[1]);
        ::close(fds[1]);
        int readEnd = fds[0];
        auto *notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, notifier, readEnd, id, description] {
            char buffer[256];
            for (;;) {
                ssize_t n = ::read(readEnd, buffer, sizeof buffer);
                if (n > 0) continue;  // whatever the caller writes is ignored
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno == EAGAIN) return;
                break;  // end of file: every write end is closed
            }
            notifier->setEnabled(false);
            notifier->deleteLater();
            ::close(readEnd);
            Record(QStringLiteral("inhibit released id=%1 %2").arg(id).arg(description));
        });
        Record(QStringLiteral("inhibit taken id=%1 %2 caller=%3 pid=%4")
                   .arg(id)
                   .arg(description, caller, pid ? QString::number(pid) : QStringLiteral("unknown")));
        return handed;
    }

private:
    uint CallerPid(const QString &caller) { return ::CallerPid(connection(), caller); }

    void Record(const QString &text) { AppendToRecord(recordPath_, text); }

    static constexpr int kShutdownAfterAnswerMs = 100;
    QString recordPath_;
    bool refuseReboot_ = false;
    int answerDelayMs_ = 0;
    int lastInhibitor_ = 0;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: quorvel-sim-login1 --record FILE [--address BUS_ADDRESS] [--ready FILE] [--refuse-reboot]\n"
                 "                          [--answer-after MS]\n"
                 "       quorvel-sim-login1 --notifications --record FILE [--address BUS_ADDRESS] [--ready FILE]\n"
                 "  The bus address defaults to DBUS_SYSTEM_BUS_ADDRESS (with --notifications,\n"
                 "  DBUS_SESSION_BUS_ADDRESS).\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    QString address;
    QString record, ready;
    bool refuseReboot = false, notifications = false;
    int answerDelayMs = 0;
    QStringList args = application.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == QLatin1String("--refuse-reboot") || arg == QLatin1String("--notifications")) {
            (arg == QLatin1String("--refuse-reboot") ? refuseReboot : notifications) = true;
            continue;
        }
        if (i + 1 >= args.size()) return Usage();
        if (arg == QLatin1String("--address")) address = args[++i];
        else if (arg == QLatin1String("--record")) record = args[++i];
        else if (arg == QLatin1String("--ready")) ready = args[++i];
        else if (arg == QLatin1String("--answer-after")) {
            bool ok = false;
            answerDelayMs = args[++i].toInt(&ok);
            if (!ok || answerDelayMs < 0) return Usage();
        } else return Usage();
    }
    if (record.isEmpty()) return Usage();
    const char *busVariable = notifications ? "DBUS_SESSION_BUS_ADDRESS" : "DBUS_SYSTEM_BUS_ADDRESS";
    if (address.isEmpty()) address = qEnvironmentVariable(busVariable);
    if (address.isEmpty()) {
        std::fprintf(stderr, "quorvel-sim-login1: no bus address (--address or %s)\n", busVariable);
        return 2;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("quorvel-sim-login1"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "quorvel-sim-login1: cannot connect to %s: %s\n",
                     address.toLocal8Bit().constData(),
                     bus.lastError().message().toLocal8Bit().constData());
        return 1;
    }
    Login1Manager manager(record, refuseReboot, answerDelayMs);
    Notifications notices(record);
    QObject *served = notifications ? static_cast<QObject *>(&notices) : &manager;
    const QString path = notifications ? QStringLiteral("/org/freedesktop/Notifications")
                                       : QStringLiteral("/org/freedesktop/login1");
    const QString name = notifications ? QStringLiteral("org.freedesktop.Notifications")
                                       : QStringLiteral("org.freedesktop.login1");
    if (!bus.registerObject(path, served, QDBusConnection::ExportAllSlots)) {
        std::fprintf(stderr, "quorvel-sim-login1: cannot register the object\n");
        return 1;
    }
    if (!bus.registerService(name)) {
        std::fprintf(stderr, "quorvel-sim-login1: cannot own %s: %s\n", name.toLocal8Bit().constData(),
                     bus.lastError().message().toLocal8Bit().constData());
        return 1;
    }
    if (!ready.isEmpty()) {
        QFile file(ready);
        if (!file.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "quorvel-sim-login1: cannot create %s\n", ready.toLocal8Bit().constData());
            return 1;
        }
    }
    return application.exec();
}

#include "Login1Service.moc"

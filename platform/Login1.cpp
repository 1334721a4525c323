// logind on the system bus: the restart.
#include "platform/Login1.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>
#include <climits>

#include "platform/win32.h"

namespace {

const char kLogin1Service[] = "org.freedesktop.login1";
const char kLogin1Path[] = "/org/freedesktop/login1";
const char kLogin1Manager[] = "org.freedesktop.login1.Manager";
// The user may be asked to allow the restart: the answer waits for them.
constexpr int kNoTimeout = INT_MAX;

void Report(const QString &reason) {
    const QByteArray text = reason.toUtf8();
    ReportRestartRefusal(text.constData());
}

// A refusal known before anything was asked: told from the message loop,
// as one that logind sent would be.
void ReportLater(const QString &reason) {
    if (QCoreApplication *app = QCoreApplication::instance())
        QTimer::singleShot(0, app, [reason] { Report(reason); });
}

}  // namespace

namespace qtlayer {

std::optional<QString> RestartRefusal(const QDBusMessage &answer) {
    if (answer.type() == QDBusMessage::ReplyMessage) return std::nullopt;
    const QString name = answer.errorName();
    const QString message = answer.errorMessage();
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return QStringLiteral("logind is not running on the system bus.");
    if (name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied") ||
        name == QLatin1String("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"))
        return QStringLiteral("it was not allowed (%1).").arg(message.isEmpty() ? name : message);
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return QStringLiteral("logind gave no answer.");
    if (message.isEmpty()) return QStringLiteral("%1.").arg(name.isEmpty() ? QStringLiteral("no reason") : name);
    return QStringLiteral("%1 (%2).").arg(message, name);
}

bool RequestLogin1Reboot() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        ReportLater(QStringLiteral("there is no system bus to ask."));
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kLogin1Service), QLatin1String(kLogin1Path),
                                                      QLatin1String(kLogin1Manager), QStringLiteral("Reboot"));
    call << true;  // interactive: the system may ask the user to allow it
    call.setInteractiveAuthorizationAllowed(true);
    // The answer is read when it comes; the user-interface thread never waits
    // for it.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kNoTimeout), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [](QDBusPendingCallWatcher *done) {
        done->deleteLater();
        if (const std::optional<QString> refusal = RestartRefusal(done->reply()))
            Report(*refusal);
        else
            ReportRestartAcceptance();
    });
    return true;
}

}  // namespace qtlayer

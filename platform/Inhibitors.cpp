// The flash's inhibitors: logind (system bus) and the desktop portal (session
// bus), asked asynchronously so that a bus that never answers cannot hold up
// the flash.
#include "platform/SessionBus.h"
#include "platform/Inhibitors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace {

const char kPortalService[] = "org.freedesktop.portal.Desktop";
constexpr unsigned kPortalLogout = 1;
constexpr unsigned kPortalSuspend = 4;

// What the answers still to come need to know: whether the hold is gone,
// and what has been taken so far. User-interface thread only.
struct Taken {
    std::atomic<int> unanswered{0};  // the answers still to come
    bool released = false;
    std::function<void(const std::string &)> say;
    int logindFd = -1;
    QString portalRequest;  // the portal's request object, once it answered
};

void CloseLogind(Taken &taken) {
    if (taken.logindFd >= 0) ::close(taken.logindFd);
    taken.logindFd = -1;
}

void ClosePortal(Taken &taken) {
    if (taken.portalRequest.isEmpty()) return;
    QDBusMessage close = QDBusMessage::createMethodCall(QLatin1String(kPortalService), taken.portalRequest,
                                                       QStringLiteral("org.freedesktop.portal.Request"),
                                                       QStringLiteral("Close"));
    if (const std::optional<QDBusConnection> bus = qtlayer::SessionBus()) bus->send(close);
    taken.portalRequest.clear();
}

// Each line said once a run: to the flash, while its hold lasts, or after the
// program's name (quorvel, quorvel-flash) on standard error. The user should
// know that nothing holds off a shutdown.
void SayOnce(const Taken &taken, const char *line) {
    static std::mutex mutex;
    static std::set<std::string> said;
    {
        std::lock_guard lock(mutex);
        if (!said.insert(line).second) return;
    }
    if (taken.say) {
        if (!taken.released) taken.say(line);
        return;
    }
    const QByteArray program = QCoreApplication::applicationName().toLocal8Bit();
    std::fprintf(stderr, "%s: %s\n", program.isEmpty() ? "quorvel" : program.constData(), line);
}

void WhenAnswered(const std::shared_ptr<Taken> &taken, const QDBusPendingCall &call,
                  std::function<void(const QDBusMessage &)> then) {
    ++taken->unanswered;
    auto *watcher = new QDBusPendingCallWatcher(call, QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [taken, then = std::move(then)](QDBusPendingCallWatcher *done) {
                         done->deleteLater();
                         then(done->reply());
                         --taken->unanswered;
                     });
}

void AskLogind(const std::shared_ptr<Taken> &taken, const QString &why) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        SayOnce(*taken, "no system bus: nothing holds off shutdown or sleep while the drive is written.");
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("shutdown:sleep") << QStringLiteral("QUORVEL") << why << QStringLiteral("block");
    WhenAnswered(taken, bus.asyncCall(call), [taken](const QDBusMessage &answer) {
        if (answer.type() != QDBusMessage::ReplyMessage) {
            if (answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
                SayOnce(*taken, "logind is not running: nothing holds off shutdown or sleep while the drive is written.");
            else
                SayOnce(*taken, "logind did not hold off shutdown and sleep while the drive is written.");
            return;
        }
        if (answer.arguments().size() != 1) return;
        const QVariant value = answer.arguments().constFirst();
        if (value.metaType() != QMetaType::fromType<QDBusUnixFileDescriptor>()) return;
        const QDBusUnixFileDescriptor held = value.value<QDBusUnixFileDescriptor>();
        if (!held.isValid()) return;
        // The answer's descriptor closes with the answer; ours holds the
        // inhibitor until the hold lets it go. An answer after that: let go
        // at once.
        taken->logindFd = ::fcntl(held.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        if (taken->released) CloseLogind(*taken);
    });
}

void AskPortal(const std::shared_ptr<Taken> &taken, const QString &why) {
    // Without a session bus or a portal the flash goes on: logind holds off
    // what it can.
    const std::optional<QDBusConnection> session = qtlayer::SessionBus();
    if (!session) {
        SayOnce(*taken, "no session bus: nothing holds off logging out while the drive is written.");
        return;
    }
    QDBusConnection bus = *session;
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kPortalService),
                                                      QStringLiteral("/org/freedesktop/portal/desktop"),
                                                      QStringLiteral("org.freedesktop.portal.Inhibit"),
                                                      QStringLiteral("Inhibit"));
    QVariantMap options;
    options.insert(QStringLiteral("reason"), why);
    call << QString() << static_cast<uint>(kPortalLogout | kPortalSuspend) << options;
    WhenAnswered(taken, bus.asyncCall(call), [taken](const QDBusMessage &answer) {
        if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().size() != 1) return;
        const QDBusObjectPath request = answer.arguments().constFirst().value<QDBusObjectPath>();
        if (request.path().isEmpty()) return;
        taken->portalRequest = request.path();
        if (taken->released) ClosePortal(*taken);
    });
}

class FlashInhibitors : public PlatformHold {
public:
    explicit FlashInhibitors(std::shared_ptr<Taken> taken) : taken_(std::move(taken)) {}
    bool Answered() const override { return taken_->unanswered.load() == 0; }
    ~FlashInhibitors() override {
        taken_->released = true;
        CloseLogind(*taken_);
        ClosePortal(*taken_);
    }

private:
    std::shared_ptr<Taken> taken_;
};

}  // namespace

namespace qtlayer {

Hold TakeFlashInhibitors(const char *why, const std::function<void(const std::string &)> &say) {
    auto taken = std::make_shared<Taken>();
    taken->say = say;
    const QString reason = QString::fromUtf8(why != nullptr ? why : "");
    if (QCoreApplication::instance() != nullptr) {
        AskLogind(taken, reason);
        AskPortal(taken, reason);
    }
    return std::make_unique<FlashInhibitors>(std::move(taken));
}

}  // namespace qtlayer

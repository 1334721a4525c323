#include "platform/DesktopNotice.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "platform/SessionBus.h"

namespace {
// A service the bus starts for it (as many desktops have theirs) answers
// within this.
constexpr int kAnswerMilliseconds = 2000;
}  // namespace

bool qtlayer::NotifyDesktop(const std::string &summary, const std::string &body) {
    const std::optional<QDBusConnection> bus = SessionBus();
    if (!bus || !bus->isConnected()) return false;
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("QUORVEL") << 0u << QStringLiteral("org.quorvel.Quorvel")
           << QString::fromUtf8(summary.data(), static_cast<qsizetype>(summary.size()))
           << QString::fromUtf8(body.data(), static_cast<qsizetype>(body.size())) << QStringList()
           << QVariantMap() << -1;
    const QDBusMessage answer = bus->call(notify, QDBus::Block, kAnswerMilliseconds);
    return answer.type() == QDBusMessage::ReplyMessage;
}

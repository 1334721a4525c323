// Restart and the flash's inhibitors: login1 on the system bus, the desktop
// portal on the session bus. Each case starts private dbus-daemons, points
// DBUS_SYSTEM_BUS_ADDRESS (and DBUS_SESSION_BUS_ADDRESS) at them before the
// layer first touches a bus, and (where it needs one) registers a small fake
// login1 Manager or portal on it, served by a thread of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

struct Call {
    QString member;
    QVariantList arguments;
    bool interactive = false;
};

class FakeLogin1 : public QDBusVirtualObject {
public:
    std::atomic<bool> refuseInhibit{false};
    std::atomic<bool> refuseReboot{false};
    // Inhibit calls are kept unanswered until AnswerHeld.
    std::atomic<bool> holdAnswers{false};

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override {
        if (message.interface() != QLatin1String("org.freedesktop.login1.Manager")) return false;
        std::lock_guard lock(mutex_);
        calls_.push_back({message.member(), message.arguments(), message.isInteractiveAuthorizationAllowed()});
        if (message.member() == QLatin1String("Reboot")) {
            connection.send(refuseReboot ? message.createErrorReply(
                                               QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                               QStringLiteral("Interactive authentication required."))
                                         : message.createReply());
            return true;
        }
        if (message.member() == QLatin1String("Inhibit")) {
            if (holdAnswers) {
                held_messages_.push_back(message);
                connection_ = std::make_unique<QDBusConnection>(connection);
                return true;
            }
            if (refuseInhibit) {
                connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                                         QStringLiteral("not allowed")));
                return true;
            }
            int ends[2];
            if (pipe2(ends, O_CLOEXEC) != 0) return false;
            QDBusMessage reply = message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1])));
            ::close(ends[1]);  // the reply holds its own copy
            held_.push_back(ends[0]);
            connection.send(reply);
            return true;
        }
        return false;
    }

    std::vector<Call> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Answers the Inhibit calls kept so far, as they would have been.
    void AnswerHeld() {
        std::vector<QDBusMessage> waiting;
        {
            std::lock_guard lock(mutex_);
            waiting.swap(held_messages_);
            holdAnswers = false;
        }
        for (const QDBusMessage &message : waiting) handleMessage(message, *connection_);
    }
    // The service's end of the n-th inhibitor: it sees the hang-up once
    // every copy of the caller's end is closed.
    int HeldEnd(size_t n) {
        std::lock_guard lock(mutex_);
        return n < held_.size() ? held_[n] : -1;
    }

private:
    std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<int> held_;
    std::vector<QDBusMessage> held_messages_;
    std::unique_ptr<QDBusConnection> connection_;
};

// The desktop portal's Inhibit, and the Close of the request it answers with.
class FakePortal : public QDBusVirtualObject {
public:
    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override {
        std::lock_guard lock(mutex_);
        calls_.push_back({message.path() + QLatin1Char(' ') + message.interface() + QLatin1Char('.') +
                              message.member(),
                          message.arguments(), false});
        if (message.member() == QLatin1String("Inhibit")) {
            connection.send(message.createReply(QVariant::fromValue(
                QDBusObjectPath(QStringLiteral("/org/freedesktop/portal/desktop/request/1_7/t1")))));
        } else {
            connection.send(message.createReply());
        }
        return true;
    }
    std::vector<Call> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::vector<Call> calls_;
};

// The reasons the layer gave for a refused restart.
std::vector<std::string> refusals;
void RecordRefusal(const char *reason) { refusals.emplace_back(reason); }

bool HungUp(int fd, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, waitMs) == 1 && (p.revents & POLLHUP) != 0;
}

// Lets the user-interface thread run until `done` holds (or a long time has
// passed, which only the failing case reaches).
template <typename Done>
bool WaitFor(Done done) {
    QDeadlineTimer deadline(20000);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// Lets the answers on their way reach the program (a quarter of a second of
// its event loop).
void LetAnswersArrive() {
    for (int i = 0; i < 25; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
}

class Login1 : public ::testing::Test {
protected:
    void StartBus() { StartDaemon(daemon_, QStringLiteral("system"), &address_, "DBUS_SYSTEM_BUS_ADDRESS"); }

    // A private session bus with a fake portal on it.
    void StartPortal() {
        QString address;
        StartDaemon(sessionDaemon_, QStringLiteral("session"), &address, "DBUS_SESSION_BUS_ADDRESS");
        portalThread_.start();
        portal_ = new FakePortal;
        portal_->moveToThread(&portalThread_);
        portalBus_ = QDBusConnection::connectToBus(address, QStringLiteral("fake-portal"));
        ASSERT_TRUE(portalBus_.isConnected());
        ASSERT_TRUE(portalBus_.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), portal_,
                                                     QDBusConnection::SubPath));
        ASSERT_TRUE(portalBus_.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    }

    void StartDaemon(QProcess &daemon, const QString &type, QString *address, const char *variable) {
        ASSERT_TRUE(dir_.isValid());
        const QString config = dir_.filePath(type + QStringLiteral(".conf"));
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <type>%2</type>\n"
                       "  <listen>unix:path=%1</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "  <policy context=\"default\">\n"
                       "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                       "    <allow eavesdrop=\"true\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "  </policy>\n"
                       "</busconfig>\n")
                       .arg(dir_.filePath(type + QStringLiteral("-bus")), type)
                       .toUtf8());
        file.close();
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                      QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
        ASSERT_TRUE(daemon.waitForStarted(20000)) << "dbus-daemon did not start";
        while (!daemon.canReadLine()) ASSERT_TRUE(daemon.waitForReadyRead(20000)) << "no bus address";
        *address = QString::fromUtf8(daemon.readLine()).trimmed();
        ASSERT_FALSE(address->isEmpty());
        ::setenv(variable, address->toLocal8Bit().constData(), 1);
    }

    void StartLogin1() {
        serviceThread_.start();
        fake_ = new FakeLogin1;
        fake_->moveToThread(&serviceThread_);
        service_ = QDBusConnection::connectToBus(address_, QStringLiteral("fake-login1"));
        ASSERT_TRUE(service_.isConnected());
        ASSERT_TRUE(service_.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), fake_));
        ASSERT_TRUE(service_.registerService(QStringLiteral("org.freedesktop.login1")));
    }

    void TearDown() override {
        SetRestartRefusedHandler(nullptr);
        if (portal_ != nullptr) {
            portalBus_.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"), QDBusConnection::UnregisterTree);
            QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
        }
        portalThread_.quit();
        portalThread_.wait();
        delete portal_;
        for (QProcess *daemon : {&daemon_, &sessionDaemon_}) {
            if (daemon->state() != QProcess::NotRunning) {
                daemon->terminate();
                daemon->waitForFinished(5000);
            }
        }
        if (fake_ != nullptr) {
            service_.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
            QDBusConnection::disconnectFromBus(QStringLiteral("fake-login1"));
        }
        serviceThread_.quit();
        serviceThread_.wait();
        delete fake_;
    }

    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    QThread serviceThread_;
    FakeLogin1 *fake_ = nullptr;
    QDBusConnection service_{QStringLiteral("none")};
    QProcess sessionDaemon_;
    QThread portalThread_;
    FakePortal *portal_ = nullptr;
    QDBusConnection portalBus_{QStringLiteral("none")};
};

}  // namespace

TEST_F(Login1, RebootAsksInteractivelyAndAnAcceptedOneReportsNothing) {
    StartBus();
    StartLogin1();
    refusals.clear();
    SetRestartRefusedHandler(RecordRefusal);
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), TRUE);
    ASSERT_TRUE(WaitFor([this] { return !fake_->Calls().empty(); }));
    const std::vector<Call> calls = fake_->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].member, QStringLiteral("Reboot"));
    ASSERT_EQ(calls[0].arguments.size(), 1);
    EXPECT_EQ(calls[0].arguments[0].metaType(), QMetaType::fromType<bool>());
    EXPECT_TRUE(calls[0].arguments[0].toBool());
    EXPECT_TRUE(calls[0].interactive);
    LetAnswersArrive();
    EXPECT_TRUE(refusals.empty());
}

TEST_F(Login1, OnlyTheRestartIsRequested) {
    StartBus();
    StartLogin1();
    EXPECT_EQ(ExitWindowsEx(0x01, 0), FALSE);                // shut down
    EXPECT_EQ(ExitWindowsEx(0x08, 0), FALSE);                // power off
    EXPECT_EQ(ExitWindowsEx(0x00, 0), FALSE);                // log off
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT | 0x01, 0), FALSE);  // both at once
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), TRUE);
    ASSERT_TRUE(WaitFor([this] { return !fake_->Calls().empty(); }));
    // Calls on one connection arrive in order: the reboot is the only one.
    EXPECT_EQ(fake_->Calls().size(), 1u);
    EXPECT_EQ(fake_->Calls()[0].member, QStringLiteral("Reboot"));
}

TEST_F(Login1, ARefusedRestartIsReportedWithTheSystemsReason) {
    StartBus();
    StartLogin1();
    fake_->refuseReboot = true;
    refusals.clear();
    SetRestartRefusedHandler(RecordRefusal);
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), TRUE) << "asked; the answer comes later";
    ASSERT_TRUE(WaitFor([] { return !refusals.empty(); }));
    EXPECT_EQ(refusals, std::vector<std::string>{"it was not allowed (Interactive authentication required.)."});
}

TEST_F(Login1, ARestartWithoutLogindIsReported) {
    StartBus();
    refusals.clear();
    SetRestartRefusedHandler(RecordRefusal);
    ExitWindowsEx(EWX_REBOOT, 0);
    ASSERT_TRUE(WaitFor([] { return !refusals.empty(); }));
    EXPECT_EQ(refusals, std::vector<std::string>{"logind is not running on the system bus."});
}

TEST_F(Login1, InhibitorIsHeldUntilReleased) {
    StartBus();
    StartLogin1();
    Hold hold = HoldOffShutdown("Writing the drive's firmware");
    ASSERT_NE(hold, nullptr);
    ASSERT_TRUE(WaitFor([this] { return fake_->HeldEnd(0) >= 0; }));

    const std::vector<Call> calls = fake_->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].member, QStringLiteral("Inhibit"));
    EXPECT_EQ(calls[0].arguments,
              (QVariantList{QStringLiteral("shutdown:sleep"), QStringLiteral("QUORVEL"),
                            QStringLiteral("Writing the drive's firmware"), QStringLiteral("block")}));

    // Held: no hang-up while the program keeps its descriptor, even after
    // the answer that brought it is gone.
    const int serviceEnd = fake_->HeldEnd(0);
    LetAnswersArrive();
    EXPECT_FALSE(HungUp(serviceEnd, 200));

    hold.reset();
    EXPECT_TRUE(WaitFor([serviceEnd] { return HungUp(serviceEnd, 0); }));
}

TEST_F(Login1, AnInhibitorAnsweredOnlyAfterTheFlashIsLetGoAtOnce) {
    StartBus();
    StartLogin1();
    fake_->holdAnswers = true;
    Hold hold = HoldOffShutdown("x");  // returns with logind's answer still to come
    ASSERT_TRUE(WaitFor([this] { return !fake_->Calls().empty(); }));
    hold.reset();
    fake_->AnswerHeld();
    const int serviceEnd = fake_->HeldEnd(0);
    ASSERT_GE(serviceEnd, 0);
    EXPECT_TRUE(WaitFor([serviceEnd] { return HungUp(serviceEnd, 0); }));
}

TEST_F(Login1, AnInhibitorAnsweredLateIsStillHeld) {
    StartBus();
    StartLogin1();
    fake_->holdAnswers = true;
    Hold hold = HoldOffShutdown("x");
    ASSERT_TRUE(WaitFor([this] { return !fake_->Calls().empty(); }));
    fake_->AnswerHeld();
    const int serviceEnd = fake_->HeldEnd(0);
    LetAnswersArrive();
    EXPECT_FALSE(HungUp(serviceEnd, 200));
    hold.reset();
    EXPECT_TRUE(WaitFor([serviceEnd] { return HungUp(serviceEnd, 0); }));
}

TEST_F(Login1, ARefusedOrMissingInhibitorLetsTheFlashGoOn) {
    StartBus();
    Hold withoutLogind = HoldOffShutdown("x");
    EXPECT_NE(withoutLogind, nullptr);
    StartLogin1();
    fake_->refuseInhibit = true;
    Hold refused = HoldOffShutdown("x");
    ASSERT_TRUE(WaitFor([this] { return !fake_->Calls().empty(); }));
    LetAnswersArrive();
    refused.reset();
    withoutLogind.reset();
}

TEST_F(Login1, ThePortalHoldsOffLogoutAndSuspendUntilReleased) {
    StartBus();
    StartPortal();
    Hold hold = HoldOffShutdown("Writing the drive's firmware");
    ASSERT_TRUE(WaitFor([this] { return !portal_->Calls().empty(); }));
    std::vector<Call> calls = portal_->Calls();
    EXPECT_EQ(calls[0].member, QStringLiteral("/org/freedesktop/portal/desktop org.freedesktop.portal.Inhibit.Inhibit"));
    ASSERT_EQ(calls[0].arguments.size(), 3);
    EXPECT_EQ(calls[0].arguments[0].toString(), QString());  // no window identifier
    EXPECT_EQ(calls[0].arguments[1].metaType(), QMetaType::fromType<uint>());
    EXPECT_EQ(calls[0].arguments[1].toUInt(), 1u | 4u);  // logout and suspend
    const QVariantMap options = qdbus_cast<QVariantMap>(calls[0].arguments[2]);
    EXPECT_EQ(options.value(QStringLiteral("reason")).toString(), QStringLiteral("Writing the drive's firmware"));
    LetAnswersArrive();
    EXPECT_EQ(portal_->Calls().size(), 1u) << "held";

    hold.reset();
    ASSERT_TRUE(WaitFor([this] { return portal_->Calls().size() == 2; }));
    EXPECT_EQ(portal_->Calls()[1].member,
              QStringLiteral("/org/freedesktop/portal/desktop/request/1_7/t1 org.freedesktop.portal.Request.Close"));
}

TEST(Login1WithoutBus, NoBusGivesFalseAndAReportedRefusal) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string address = "unix:path=" + dir.filePath(QStringLiteral("no-bus-here")).toStdString();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    refusals.clear();
    SetRestartRefusedHandler(RecordRefusal);
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), FALSE);
    ASSERT_TRUE(WaitFor([] { return !refusals.empty(); }));
    EXPECT_EQ(refusals, std::vector<std::string>{"there is no system bus to ask."});
    SetRestartRefusedHandler(nullptr);
    Hold hold = HoldOffShutdown("x");  // nothing to hold, and the flash goes on
    EXPECT_NE(hold, nullptr);
}

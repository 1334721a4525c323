// Restart and shutdown inhibitor through login1 on the system bus. Each case
// starts a private dbus-daemon, points DBUS_SYSTEM_BUS_ADDRESS at it before
// the layer first touches the bus, and (where it needs one) registers a small
// fake login1 Manager on it, served by a thread of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstdlib>
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

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override {
        if (message.interface() != QLatin1String("org.freedesktop.login1.Manager")) return false;
        std::lock_guard lock(mutex_);
        calls_.push_back({message.member(), message.arguments(), message.isInteractiveAuthorizationAllowed()});
        if (message.member() == QLatin1String("Reboot")) {
            connection.send(message.createReply());
            return true;
        }
        if (message.member() == QLatin1String("Inhibit")) {
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
};

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

class Login1 : public ::testing::Test {
protected:
    void StartBus() {
        ASSERT_TRUE(dir_.isValid());
        const QString config = dir_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <type>system</type>\n"
                       "  <listen>unix:path=%1</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "  <policy context=\"default\">\n"
                       "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                       "    <allow eavesdrop=\"true\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "  </policy>\n"
                       "</busconfig>\n")
                       .arg(dir_.filePath(QStringLiteral("bus")))
                       .toUtf8());
        file.close();
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                       QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
        ASSERT_TRUE(daemon_.waitForStarted(20000)) << "dbus-daemon did not start";
        while (!daemon_.canReadLine()) ASSERT_TRUE(daemon_.waitForReadyRead(20000)) << "no bus address";
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        ASSERT_FALSE(address_.isEmpty());
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.toLocal8Bit().constData(), 1);
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
        if (fake_ != nullptr) {
            service_.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
            QDBusConnection::disconnectFromBus(QStringLiteral("fake-login1"));
        }
        serviceThread_.quit();
        serviceThread_.wait();
        delete fake_;
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            daemon_.waitForFinished(5000);
        }
    }

    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    QThread serviceThread_;
    FakeLogin1 *fake_ = nullptr;
    QDBusConnection service_{QStringLiteral("none")};
};

}  // namespace

TEST_F(Login1, RebootAsksInteractively) {
    StartBus();
    StartLogin1();
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), TRUE);
    ASSERT_TRUE(WaitFor([this] { return !fake_->Calls().empty(); }));
    const std::vector<Call> calls = fake_->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].member, QStringLiteral("Reboot"));
    ASSERT_EQ(calls[0].arguments.size(), 1);
    EXPECT_EQ(calls[0].arguments[0].metaType(), QMetaType::fromType<bool>());
    EXPECT_TRUE(calls[0].arguments[0].toBool());
    EXPECT_TRUE(calls[0].interactive);
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

TEST_F(Login1, InhibitorIsHeldUntilReleased) {
    StartBus();
    StartLogin1();
    const int fd = CurrentWin32Layer().TakeShutdownInhibitor("Writing the drive's firmware");
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    const std::vector<Call> calls = fake_->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].member, QStringLiteral("Inhibit"));
    EXPECT_EQ(calls[0].arguments,
              (QVariantList{QStringLiteral("shutdown:sleep"), QStringLiteral("QUORVEL"),
                            QStringLiteral("Writing the drive's firmware"), QStringLiteral("block")}));

    const int serviceEnd = fake_->HeldEnd(0);
    ASSERT_GE(serviceEnd, 0);
    // Held: no hang-up while the program keeps its descriptor, even after
    // everything else it received is gone.
    QCoreApplication::processEvents();
    EXPECT_FALSE(HungUp(serviceEnd, 200));

    CurrentWin32Layer().ReleaseShutdownInhibitor(fd);
    EXPECT_TRUE(HungUp(serviceEnd, 20000));
}

TEST_F(Login1, InhibitorTakenAndReleasedOnOtherThreads) {
    StartBus();
    StartLogin1();
    int fd = -1;
    std::thread taker([&fd] { fd = CurrentWin32Layer().TakeShutdownInhibitor("worker"); });
    taker.join();
    ASSERT_GE(fd, 0);
    const int serviceEnd = fake_->HeldEnd(0);
    ASSERT_GE(serviceEnd, 0);
    EXPECT_FALSE(HungUp(serviceEnd, 100));
    std::thread releaser([fd] { CurrentWin32Layer().ReleaseShutdownInhibitor(fd); });
    releaser.join();
    EXPECT_TRUE(HungUp(serviceEnd, 20000));
}

TEST_F(Login1, RefusedInhibitorGivesMinusOne) {
    StartBus();
    StartLogin1();
    fake_->refuseInhibit = true;
    EXPECT_EQ(CurrentWin32Layer().TakeShutdownInhibitor("x"), -1);
}

TEST_F(Login1, BusWithoutLogindGivesNoInhibitor) {
    StartBus();
    EXPECT_EQ(CurrentWin32Layer().TakeShutdownInhibitor("x"), -1);
    // The restart request still goes out on the bus; nobody answers it.
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), TRUE);
}

TEST(Login1WithoutBus, NoBusGivesFalseAndMinusOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string address = "unix:path=" + dir.filePath(QStringLiteral("no-bus-here")).toStdString();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    EXPECT_EQ(ExitWindowsEx(EWX_REBOOT, 0), FALSE);
    EXPECT_EQ(CurrentWin32Layer().TakeShutdownInhibitor("x"), -1);
    CurrentWin32Layer().ReleaseShutdownInhibitor(-1);  // nothing to close
}

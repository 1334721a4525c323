// Requests to end the program: blocked in every thread, read on the
// user-interface thread, and never ending the process by themselves.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <cerrno>
#include <thread>
#include <vector>

#include "platform/Termination.h"

TEST(Termination, SignalsAreReadOnTheUserInterfaceThreadAndEndNothing) {
    BlockTerminationSignals();
    // A thread started afterwards has them blocked too.
    bool blockedInThread = false;
    std::thread([&blockedInThread] {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        blockedInThread = sigismember(&mask, SIGTERM) && sigismember(&mask, SIGINT) && sigismember(&mask, SIGHUP);
    }).join();
    EXPECT_TRUE(blockedInThread);

    std::vector<int> requests;
    bool onUiThread = true;
    ASSERT_TRUE(WatchTerminationRequests([&](int signal) {
        requests.push_back(signal);
        onUiThread = onUiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    }));
    // Sent to the process, as a logout or a kill would; one from another
    // thread as well.
    ::kill(::getpid(), SIGTERM);
    std::thread([] { ::kill(::getpid(), SIGHUP); }).join();
    for (int i = 0; i < 400 && requests.size() < 2; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    ::kill(::getpid(), SIGINT);
    for (int i = 0; i < 400 && requests.size() < 3; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2], SIGINT);
    EXPECT_TRUE((requests[0] == SIGTERM && requests[1] == SIGHUP) || (requests[0] == SIGHUP && requests[1] == SIGTERM));
    EXPECT_TRUE(onUiThread);
}

TEST(Termination, AWriteToAClosedPipeFailsQuietly) {
    IgnoreBrokenPipes();
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);  // the reader has gone
    errno = 0;
    EXPECT_EQ(::write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE) << "the program lives on to see the failure";
    ::close(ends[1]);
}

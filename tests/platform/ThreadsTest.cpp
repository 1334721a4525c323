// The calls that cross threads: a message box asked for by a worker thread is
// shown by the user-interface thread while the worker waits for the answer;
// CreateThread starts a thread at once, which WaitForSingleObject waits for;
// a hand-over after the user-interface thread has ended is dropped.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "tests/platform/BoxWatch.h"

namespace {

// Spins the user-interface thread's event loop until `done` holds.
template <typename Done>
void RunLoopUntil(Done done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    poll.start(5);
    loop.exec();
}

}  // namespace

TEST(WorkerBox, ShownOnTheUiThreadAndAnswerHandedBack) {
    QWidget owner;
    owner.show();
    std::atomic<bool> returned{false};
    std::atomic<int> answer{0};
    bool shownOnUiThread = false;
    bool boxInUiThread = false;
    bool workerStillWaiting = false;
    QWidget *parent = nullptr;
    QString text;

    WhenBoxShown([&](QMessageBox *box) {
        shownOnUiThread = QThread::currentThread() == qApp->thread();
        boxInUiThread = box->thread() == qApp->thread();
        workerStillWaiting = !returned.load();
        parent = box->parentWidget();
        text = box->text();
        box->button(QMessageBox::Cancel)->click();
    });
    std::thread worker([&] {
        answer = MessageBoxA(&owner, " DOWNLOAD FAIL!! \nRestart WINDOWS", "MESSAGE",
                             MB_SYSTEMMODAL | MB_OKCANCEL);
        returned = true;
    });
    RunLoopUntil([&] { return returned.load(); });
    worker.join();

    EXPECT_TRUE(shownOnUiThread);
    EXPECT_TRUE(boxInUiThread);
    EXPECT_TRUE(workerStillWaiting);
    EXPECT_EQ(parent, &owner);
    EXPECT_EQ(text, QStringLiteral(" DOWNLOAD FAIL!! \nRestart WINDOWS"));
    EXPECT_EQ(answer.load(), IDCANCEL);
}

TEST(WorkerBox, OkAnswerFromWorker) {
    std::atomic<bool> returned{false};
    std::atomic<int> answer{0};
    WhenBoxShown([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
    std::thread worker([&] {
        answer = MessageBoxA(nullptr, "  DOWNLOAD OK!!  \nRestart WINDOWS", "MESSAGE", MB_SYSTEMMODAL);
        returned = true;
    });
    RunLoopUntil([&] { return returned.load(); });
    worker.join();
    EXPECT_EQ(answer.load(), IDOK);
}

namespace {
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool ran = false;
    void *param = nullptr;
    std::thread::id id;
};

DWORD GatedStart(void *param) {
    auto *gate = static_cast<Gate *>(param);
    std::unique_lock lock(gate->mutex);
    gate->param = param;
    gate->id = std::this_thread::get_id();
    // Waits for the caller, which goes on only once CreateThread returned:
    // a call that waited for the thread would never get here.
    gate->changed.wait(lock, [gate] { return gate->open; });
    gate->ran = true;
    gate->changed.notify_all();
    return 0;
}
}  // namespace

TEST(CreateThreadCall, RunsAtOnceWithItsParameterAndIsWaitedFor) {
    Gate gate;
    DWORD threadId = 12345;
    HANDLE handle = CreateThread(nullptr, 0, GatedStart, &gate, 0, &threadId);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForSingleObject(handle, 20), WAIT_TIMEOUT) << "it waits at the gate";
    {
        std::unique_lock lock(gate.mutex);
        gate.open = true;
        gate.changed.notify_all();
        gate.changed.wait(lock, [&gate] { return gate.ran; });
    }
    EXPECT_EQ(gate.param, &gate);
    EXPECT_NE(gate.id, std::this_thread::get_id());
    EXPECT_EQ(WaitForSingleObject(handle, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0) << "joined once, ended for good";
    EXPECT_EQ(CloseHandle(handle), TRUE);
}

TEST(UserInterfaceHandoff, OnceEndedAHandoverIsDroppedAndAWaitingOneReleased) {
    std::atomic<bool> ran{false};
    std::atomic<int> waiting{-1};  // the waiting worker's answer; -1 while it waits
    std::thread worker([&] { waiting = RunOnUserInterfaceThread([&] { ran = true; }) ? 1 : 0; });
    // The user-interface thread runs no event: the work waits in the queue.
    QThread::msleep(50);
    EXPECT_EQ(waiting.load(), -1);
    EndUserInterfaceHandoffs();
    worker.join();
    EXPECT_EQ(waiting.load(), 0) << "released, told it was dropped";
    // Nothing runs it afterwards, and a later hand-over is dropped at once.
    QCoreApplication::processEvents();
    std::atomic<bool> later{true};
    std::thread([&] { later = RunOnUserInterfaceThread([&] { ran = true; }); }).join();
    QCoreApplication::processEvents();
    EXPECT_FALSE(later.load());
    EXPECT_FALSE(ran.load()) << "no work ran on any thread";
    // On the user-interface thread itself work still runs at once.
    EXPECT_TRUE(RunOnUserInterfaceThread([&] { ran = true; }));
    EXPECT_TRUE(ran.load());
}

TEST(CreateThreadCall, NoStartRoutineNoThread) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

TEST(WorkerCursor, SetFromAWorkerLandsOnTheUiThread) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        SetScreenCursor(crHourGlass);
        done = true;
    });
    RunLoopUntil([&] { return done.load(); });
    worker.join();
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    EXPECT_EQ(ScreenCursor(), crHourGlass);
    SetScreenCursor(crDefault);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

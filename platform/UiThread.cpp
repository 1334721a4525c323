// The hand-over to the user-interface thread (Quit.cpp delivers quit
// requests to its message loop).
#include "platform/UiThread.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace {

// The user-interface thread: the application's; without an application, the
// process's first thread, where main runs.
bool OnUiThread() {
    if (QCoreApplication *app = QCoreApplication::instance()) return QThread::currentThread() == app->thread();
    return ::gettid() == ::getpid();
}

// The hand-over to the user-interface thread. The work travels through a
// queue of our own, under a mutex of our own: the queued call that wakes the
// user-interface thread carries nothing, so everything the two threads share
// passes through locks that ThreadSanitizer can see (Qt's event queue it
// cannot).
struct Handoff {
    const std::function<void()> *work = nullptr;
    bool done = false;
};
std::mutex HandoffMutex;
std::condition_variable HandoffDone;
std::deque<Handoff *> HandoffQueue;
// Set once the user-interface thread runs no more work: every hand-over is
// dropped from then on.
bool HandoffsEnded = false;

void RunHandedOffWork() {
    for (;;) {
        Handoff *handoff = nullptr;
        {
            std::lock_guard queued(HandoffMutex);
            if (HandoffQueue.empty() || HandoffsEnded) return;
            handoff = HandoffQueue.front();
            HandoffQueue.pop_front();
        }
        // The waiting thread is released whatever the work does: an
        // exception ends the work, never the hand-over.
        try {
            (*handoff->work)();
        } catch (...) {
        }
        std::lock_guard done(HandoffMutex);
        // Once hand-overs have ended the waiting thread has gone on (and
        // its handoff with it).
        if (HandoffsEnded) return;
        handoff->done = true;
        HandoffDone.notify_all();
    }
}

}  // namespace


bool RunOnUserInterfaceThread(const std::function<void()> &work) {
    if (OnUiThread()) {
        work();
        return true;
    }
    Handoff handoff;
    handoff.work = &work;
    std::unique_lock lock(HandoffMutex);
    QCoreApplication *app = QCoreApplication::instance();
    if (HandoffsEnded || app == nullptr) return false;
    HandoffQueue.push_back(&handoff);
    QMetaObject::invokeMethod(app, [] { RunHandedOffWork(); }, Qt::QueuedConnection);
    HandoffDone.wait(lock, [&handoff] { return handoff.done || HandoffsEnded; });
    if (handoff.done) return true;
    // Dropped: never run, or begun and never to finish.
    for (auto i = HandoffQueue.begin(); i != HandoffQueue.end(); ++i) {
        if (*i == &handoff) {
            HandoffQueue.erase(i);
            break;
        }
    }
    return false;
}

void EndUserInterfaceHandoffs() {
    std::lock_guard lock(HandoffMutex);
    HandoffsEnded = true;
    HandoffDone.notify_all();
}

// Threads behind handles: a std::thread that is joined once it has ended.
#include "platform/Threads.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

// What the thread and its handle share: the thread may outlive a closed
// handle, and the handle a finished thread.
struct Ending {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

struct ThreadHandle {
    std::shared_ptr<Ending> ending = std::make_shared<Ending>();
    std::thread thread;
};

}  // namespace

namespace qtlayer {

HANDLE StartThread(LPTHREAD_START_ROUTINE start, void *param) {
    if (start == nullptr) return nullptr;
    auto handle = std::make_unique<ThreadHandle>();
    try {
        handle->thread = std::thread([start, param, ending = handle->ending] {
            start(param);
            std::lock_guard lock(ending->mutex);
            ending->done = true;
            ending->ended.notify_all();
        });
    } catch (const std::system_error &) {
        return nullptr;
    }
    return handle.release();
}

DWORD WaitForThread(HANDLE thread, DWORD milliseconds) {
    auto *handle = static_cast<ThreadHandle *>(thread);
    if (handle == nullptr) return WAIT_FAILED;
    if (!handle->thread.joinable()) return WAIT_OBJECT_0;  // joined before
    if (handle->thread.get_id() == std::this_thread::get_id()) return WAIT_FAILED;
    {
        std::unique_lock lock(handle->ending->mutex);
        const auto done = [handle] { return handle->ending->done; };
        if (milliseconds == INFINITE)
            handle->ending->ended.wait(lock, done);
        else if (!handle->ending->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), done))
            return WAIT_TIMEOUT;
    }
    // Its routine has returned: the join takes no longer than the thread's
    // own last instructions.
    handle->thread.join();
    return WAIT_OBJECT_0;
}

BOOL CloseThread(HANDLE thread) {
    auto *handle = static_cast<ThreadHandle *>(thread);
    if (handle == nullptr) return FALSE;
    if (handle->thread.joinable()) {
        bool done;
        {
            std::lock_guard lock(handle->ending->mutex);
            done = handle->ending->done;
        }
        if (done && handle->thread.get_id() != std::this_thread::get_id())
            handle->thread.join();
        else
            handle->thread.detach();
    }
    delete handle;
    return TRUE;
}

}  // namespace qtlayer

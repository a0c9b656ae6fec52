// A thread that stops cooperatively: its body tests a stop flag once per pass;
// stopping sets the flag and waits for the body to return, so a stop never
// leaves a lock held or a record half written.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/platform.hpp"

namespace vexan::platform {

class StoppableThread {
public:
    using Body = std::function<void(const std::atomic<bool>& stop)>;

    // Starts `body(stop)` at once; `stop` turns true when the thread is to end.
    // Nothing when the system could not start a thread (or had no memory for
    // it): no exception leaves here.
    static std::unique_ptr<StoppableThread> Start(Body body) noexcept
    {
        if (!ThreadStartAllowed()) {
            return nullptr;
        }
        try {
            auto started = std::unique_ptr<StoppableThread>(new StoppableThread());
            started->thread_ =
                std::thread([stop = &started->stop_, finished = &started->finished_, work = std::move(body)] {
                    work(*stop);
                    finished->store(true);
                });
            return started;
        } catch (const std::system_error&) {
            return nullptr;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }

    ~StoppableThread() { Stop(); }
    StoppableThread(const StoppableThread&) = delete;
    StoppableThread& operator=(const StoppableThread&) = delete;

    void RequestStop() { stop_.store(true); }
    // True once the body has returned: a join then waits for no more than the
    // thread's exit.
    bool Finished() const { return finished_.load(); }
    bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

    // Requests the stop and waits for the body to end. A thread cannot wait for
    // itself: its owner keeps it until another thread can (see ReceiveSide).
    void Stop()
    {
        RequestStop();
        if (!thread_.joinable()) {
            return;
        }
        if (IsCurrent()) {
            thread_.detach();  // last resort: the owner is being torn down on this very thread
            return;
        }
        switch (CurrentUnload()) {
        case Unload::Process:
            thread_.detach();  // the system has ended the thread already
            return;
        case Unload::Library:
            // A thread cannot end while the unloading thread holds the loader
            // lock, so it is not joined: its body is waited for, then the few
            // instructions it still runs in this library before it waits on
            // that lock.
            while (!finished_.load()) {
                SleepMs(1);
            }
            SleepMs(kLeaveMs);
            thread_.detach();
            return;
        case Unload::None:
            break;
        }
        thread_.join();
    }

private:
    StoppableThread() = default;

    static constexpr uint32_t kLeaveMs = 5;

    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace vexan::platform

// A thread that stops cooperatively: its body tests a stop flag once per pass;
// stopping sets the flag and waits for the body to return, so a stop never
// leaves a lock held or a record half written.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

namespace vexan::platform {

class StoppableThread {
public:
    // Starts `body(stop)` at once; `stop` turns true when the thread is to end.
    template <typename Body>
    explicit StoppableThread(Body body)
        : stop_(std::make_shared<std::atomic<bool>>(false)),
          thread_([stop = stop_, work = std::move(body)]() mutable { work(*stop); })
    {
    }

    ~StoppableThread() { Stop(); }
    StoppableThread(const StoppableThread&) = delete;
    StoppableThread& operator=(const StoppableThread&) = delete;

    void RequestStop() { stop_->store(true); }

    // Requests the stop and waits for the body to end. Called from the thread
    // itself (say from a callback it runs), it cannot wait: the thread ends
    // once control returns to its body, which shares the flag's ownership.
    void Stop()
    {
        RequestStop();
        if (!thread_.joinable()) {
            return;
        }
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

private:
    std::shared_ptr<std::atomic<bool>> stop_;
    std::thread thread_;
};

}  // namespace vexan::platform

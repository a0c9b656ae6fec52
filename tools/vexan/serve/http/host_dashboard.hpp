// The dashboard on a running BoardHost: the backend over the host's calls,
// the events of the host's hub fed to the page, and a look at the nodes'
// NMT states while a page watches (what no event tells: a node that fell
// silent or was switched by another master).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "dashboard.hpp"
#include "host.hpp"

namespace vexantool::http {

class HostDashboard {
public:
    explicit HostDashboard(serve::BoardHost& host);
    ~HostDashboard();
    HostDashboard(const HostDashboard&) = delete;
    HostDashboard& operator=(const HostDashboard&) = delete;

    // Starts serving; false with the reason.
    bool Start(DashboardOptions options, std::string& error);
    // Stops the server and the threads; before the host stops.
    void Stop();
    int Port() const { return server_ ? server_->Port() : 0; }

private:
    void Pump();
    void WatchStates();

    serve::BoardHost& host_;
    std::unique_ptr<Backend> backend_;
    std::unique_ptr<DashboardServer> server_;
    std::shared_ptr<serve::Subscription> subscription_;
    std::thread pump_;
    std::thread watcher_;
    std::atomic<bool> stopping_{false};
    std::mutex waitMutex_;
    std::condition_variable wake_;
};

// The default SYNC COB-ID the dashboard's SYNC button sends on.
inline constexpr uint16_t kSyncCobId = 0x80;

}  // namespace vexantool::http

// A started master on one slot, on a serial port or on the simulator.
#include "session.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

#include "results.hpp"
#include "serial_port.hpp"
#include "trace_relay.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace vexantool {

bool AddSimNodes(vexsim::Simulator& sim, const std::vector<std::string>& specs, std::string& error)
{
    if (specs.empty()) {
        sim.AddDefaultNode(5);
        sim.AddDefaultNode(6);
        return true;
    }
    unsigned nextId = 5;
    for (std::string spec : specs) {
        unsigned id = nextId;
        if (const auto at = spec.rfind('@'); at != std::string::npos) {
            char* end = nullptr;
            id = static_cast<unsigned>(std::strtoul(spec.c_str() + at + 1, &end, 0));
            if (*end != '\0' || id == 0 || id > 127) {
                error = "bad node id in " + spec;
                return false;
            }
            spec.resize(at);
        }
        nextId = id + 1;
        std::string why;
        if (!sim.AddEdsNode(static_cast<uint8_t>(id), spec, &why)) {
            error = spec + ": " + why;
            return false;
        }
    }
    return true;
}

Session::Session() = default;

Session::~Session()
{
    Close();
}

bool Session::Open(const SessionOptions& options, std::string& error)
{
    Close();
    options_ = options;
    if (options.sim) {
        sim_ = std::make_unique<vexsim::Simulator>();
        if (!AddSimNodes(*sim_, options.simEds, error)) {
            sim_.reset();
            return false;
        }
        try {
            sim_->Start();
        } catch (const std::exception& e) {
            error = std::string("the simulator did not start: ") + e.what();
            sim_.reset();
            return false;
        }
        deviceFd_ = sim_->OpenLibraryEnd();
        if (deviceFd_ < 0) {
            error = "cannot open the simulator's line";
            Close();
            return false;
        }
    } else if (!options.port.empty()) {
        deviceFd_ = OpenSerial(options.port, options.baud, error);
        if (deviceFd_ < 0) {
            return false;
        }
    } else {
        error = "no module: give --port PATH or --sim";
        return false;
    }
    int libraryFd = deviceFd_;
    if (options.trace) {
        relay_ = std::make_unique<TraceRelay>(deviceFd_, "");
        if (relay_->LibraryFd() < 0) {
            error = "cannot open the trace's pseudo-terminal";
            Close();
            return false;
        }
        libraryFd = relay_->LibraryFd();
    }
    const uint16_t result = StartMaster(Slot(), libraryFd, static_cast<uint8_t>(options.masterId));
    if (result != VEXAN_OK) {
        error = "starting the master failed: " + ResultText(result);
        Close();
        return false;
    }
    if (options.timeoutMs != 0) {
        Vexan_SetFunctionTimeout(Slot(), options.timeoutMs);
    }
    open_ = true;
    return true;
}

// The library gives the module a few tens of milliseconds to identify itself,
// which a module still booting, or a loaded machine running the simulator, can
// miss: the start is tried again then.
uint16_t StartMaster(uint8_t slot, int fd, uint8_t masterId)
{
    constexpr int kAttempts = 3;
    uint16_t result = VEXAN_NOT_IDENTIFIED;
    for (int attempt = 0; attempt < kAttempts && result == VEXAN_NOT_IDENTIFIED; ++attempt) {
        result = Vexan_InitMaster(slot, fd, masterId, 0, /*blocking=*/1);
    }
    return result;
}

void Session::Close()
{
    if (open_) {
        Vexan_ShutdownMaster(Slot());
        open_ = false;
    }
    relay_.reset();
    if (deviceFd_ >= 0) {
        // A terminal that stays open elsewhere (a simulator's line) would stay
        // exclusive after us and refuse every later open by others.
        if (!options_.sim) {
            ioctl(deviceFd_, TIOCNXCL);
        }
        close(deviceFd_);
        deviceFd_ = -1;
    }
    if (sim_) {
        sim_->Stop();
        sim_.reset();
    }
}

}  // namespace vexantool
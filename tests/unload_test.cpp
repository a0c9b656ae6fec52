// A process that ends with a board still open: unloading the library stops the
// receive thread before the tables it writes go away, and a callback that runs
// while the process ends starts no thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "child_process.hpp"
#include "link/protocol.hpp"
#include "module_peer.hpp"
#include "scratch.hpp"
#include "start.hpp"
#include "vexan.h"

namespace {

using namespace std::chrono_literals;
namespace vt = vexan::test;

TEST(Unload, ExitWithBoardsStillOpenEndsCleanly)
{
    const int status = vexan::test::RunInChild([] {
        // Two boards open and busy polling for events when the process exits.
        // Like an application's ports, the peers stay open past the library's
        // unload: they are never destroyed (held by static pointers, so not leaked).
        static vexan::test::ModulePeer* const first = std::make_unique<vexan::test::ModulePeer>().release();
        static vexan::test::ModulePeer* const second = std::make_unique<vexan::test::ModulePeer>().release();
        first->SetAnswerIdlePolls(true);
        second->SetAnswerIdlePolls(true);
        if (vexan::test::StartMaster(0, first->LibraryPort(), 1) != VEXAN_OK ||
            vexan::test::StartMaster(1, second->LibraryPort(), 2) != VEXAN_OK) {
            std::_Exit(2);
        }
        std::this_thread::sleep_for(50ms);
        std::exit(0);  // runs the library's unload
    });
    EXPECT_EQ(status, 0);
}

// A boot-up callback that configures its node from the EDS file, called just
// as the process ends: the callback's load runs while the library is being
// unloaded. It must start no worker (the load answers VEXAN_TIMEOUT, or
// VEXAN_SENT when it came before the unload began, and that worker is then
// stopped and joined), and the receive thread ends its callback before any
// table goes away: the process ends with status 0, every time.
namespace at_exit {
constexpr uint8_t kSlot = 4;
constexpr uint8_t kNode = 5;
std::atomic<bool> exiting{false};
std::atomic<int> calls{0};
const char* edsPath = nullptr;

void LoadWhileExiting()
{
    if (calls.fetch_add(1) != 0) {
        return;  // the first boot-up only
    }
    for (int ms = 0; !exiting.load(); ++ms) {
        if (ms > 10'000) {
            std::_Exit(4);
        }
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);  // main is in exit(): the unload is under way
    const uint16_t started = Vexan_EDS_Load(kSlot, kNode, edsPath, 0, 0, 0);
    if (started != VEXAN_TIMEOUT && started != VEXAN_SENT) {
        std::_Exit(5);
    }
}
}  // namespace at_exit

TEST(Unload, CallbackStartingAnEdsLoadWhileTheProcessEndsStartsNoThread)
{
    const auto directory = vt::MakeScratchDirectory("vexan-unload-eds");
    const std::string path = (directory / "node.eds").string();
    std::ofstream(path) << "[1000]\nDefaultValue=0x191\n[1400sub1]\nDefaultValue=0x205\n";
    at_exit::edsPath = path.c_str();
    constexpr int kRuns = 20;
    for (int run = 0; run < kRuns; ++run) {
        const int status = vt::RunInChild([] {
            static vt::ModulePeer* const peer = std::make_unique<vt::ModulePeer>().release();
            peer->SetAnswerIdlePolls(true);
            for (const vexan::Command command :
                 {vexan::Command::AddNode, vexan::Command::NmtChangeState, vexan::Command::InstallPdoList}) {
                const uint8_t code = vexan::CodeOf(command);
                peer->SetDefault(code, [code](uint16_t key) {
                    return vt::Reply{vt::NodeStatus(code, static_cast<uint8_t>(key), 0)};
                });
            }
            peer->QueueEvent(vt::Reply{vt::EventReply(0x40, {at_exit::kNode})});  // a boot-up
            if (vt::StartMaster(at_exit::kSlot, peer->LibraryPort(), 1) != VEXAN_OK ||
                Vexan_InstallBootUpISR(at_exit::kSlot, &at_exit::LoadWhileExiting) != VEXAN_OK) {
                std::_Exit(2);
            }
            for (int ms = 0; at_exit::calls.load() == 0; ++ms) {
                if (ms > 10'000) {
                    std::_Exit(3);
                }
                std::this_thread::sleep_for(1ms);
            }
            at_exit::exiting.store(true);
            std::exit(0);  // runs the library's unload while the callback waits to load
        });
        ASSERT_EQ(status, 0) << "run " << run;
    }
    std::filesystem::remove_all(directory);
}

}  // namespace

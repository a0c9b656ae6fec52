// A process that ends with a board still open: unloading the library stops the
// receive thread before the tables it writes go away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "child_process.hpp"
#include "module_peer.hpp"
#include "start.hpp"
#include "vexan.h"

namespace {

using namespace std::chrono_literals;

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

}  // namespace

// The one library-state object, built when the library is loaded and torn down
// when it is unloaded. Teardown first stops every thread that can reach the
// tables (receive threads run the application's callbacks, which may call any
// export; EDS workers call the exports), and only then lets the tables go.
// The parts and their accessors are listed in link/library_state.hpp.
#include "eds/eds_load.hpp"
#include "engine/dispatch.hpp"
#include "engine/reply_tables.hpp"
#include "events/events.hpp"
#include "link/library_state.hpp"
#include "platform/platform.hpp"
#include "sdo/upload.hpp"

namespace vexan {

namespace {

struct LibraryState {
    LibraryState() = default;
    LibraryState(const LibraryState&) = delete;
    LibraryState& operator=(const LibraryState&) = delete;

    // Until the last receive thread has been joined a callback may call any
    // export, so nothing goes away before: from the first step on no export
    // starts a thread (a non-blocking EDS load answers VEXAN_TIMEOUT, a master
    // start VEXAN_TIMEOUT), every EDS run ends at its next call, the receive
    // threads run their last callback and end, and the EDS workers end; then
    // the members are destroyed.
    ~LibraryState()
    {
        platform::RefuseThreadStarts();
        eds.StopRuns();
        link.StopReceiveThreads();
        eds.JoinWorkers();
    }

    // Members go in reverse order, the link first: a receive thread that a
    // callback stopped from inside itself is joined there, with everything
    // its callback can still reach in place.
    EdsJobs eds;
    EventState events;
    // The SDO family files the data replies of its reads and writes itself
    // (object check, upload segments, spill files): handed them by the
    // dispatcher, so the engine knows nothing of SDO.
    SdoReplyFiler sdoFiler;
    ReplyTables replies{{Command::SdoRead, &sdoFiler}, {Command::SdoWrite, &sdoFiler}};
    // The receive side files what it reads through the dispatcher and runs the
    // event step: wired here, so the link depends on neither.
    LinkState link{ReceiveHooks{.dispatch = &DispatchReply, .eventStep = &RunEventCallbacks}};
};

// Builds the state on first use; the reference below makes that happen while
// the library loads, before any export can be called.
LibraryState& InitLibraryState()
{
    static LibraryState state;
    return state;
}

[[maybe_unused]] LibraryState& loadedState = InitLibraryState();

}  // namespace

LinkState& Link()
{
    return InitLibraryState().link;
}

ReplyTables& Replies()
{
    return InitLibraryState().replies;
}

EventState& Events()
{
    return InitLibraryState().events;
}

EdsJobs& EdsLoadJobs()
{
    return InitLibraryState().eds;
}

}  // namespace vexan

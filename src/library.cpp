// The one library-state object, built when the library is loaded and torn down
// when it is unloaded. Teardown first joins the EDS load workers, which call
// the exports, then stops every receive thread still running before the tables
// they write go away.
#include "eds/eds_load.hpp"
#include "engine/dispatch.hpp"
#include "engine/reply_tables.hpp"
#include "events/events.hpp"
#include "link/library_state.hpp"

namespace vexan {

namespace {

struct LibraryState {
    // Members are destroyed in reverse order: the link (and with it every
    // receive thread) goes first.
    EventState events;
    ReplyTables replies;
    // The receive side files what it reads through the dispatcher and runs the
    // event step: wired here, so the link depends on neither.
    LinkState link{ReceiveHooks{.dispatch = &DispatchReply, .eventStep = &RunEventCallbacks}};
    // Destroyed first: a worker still running finishes its run on the link
    // above and is joined.
    EdsJobs eds;
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

// The one library-state object, built when the library is loaded and torn down
// when it is unloaded. Teardown stops every receive thread still running before
// the tables they write go away.
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
    LinkState link;
};

LibraryState library;

}  // namespace

LinkState& Link()
{
    return library.link;
}

ReplyTables& Replies()
{
    return library.replies;
}

EventState& Events()
{
    return library.events;
}

}  // namespace vexan

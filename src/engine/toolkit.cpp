#include "engine/toolkit.hpp"

#include "events/events.hpp"
#include "platform/platform.hpp"

namespace vexan {

namespace {

constexpr uint32_t kFastFormPauseMs = 1;

}  // namespace

uint16_t SendOnlyPaced(uint8_t slot, FrameWriter& frame)
{
    const uint16_t sent = SendOnly(slot, frame);
    if (sent == VEXAN_OK) {
        platform::SleepMs(kFastFormPauseMs);
    }
    return sent;
}

void ReleaseBoard(uint8_t board)
{
    Replies().ReleaseAll(board);
    DropBoardEvents(board);
}

bool EmcyCallbackInstalled(uint8_t board)
{
    return HasCallback(CallbackKind::Emcy, board);
}

}  // namespace vexan

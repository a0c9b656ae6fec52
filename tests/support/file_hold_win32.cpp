#include <windows.h>

#include "file_hold.hpp"

namespace vexan::test {

struct ExclusiveFileHold::Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
};

ExclusiveFileHold::ExclusiveFileHold(const std::string& path) : handle_(std::make_unique<Handle>())
{
    // No sharing: every other open of the file fails while this one lasts.
    handle_->file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
}

ExclusiveFileHold::~ExclusiveFileHold()
{
    if (handle_->file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle_->file);
    }
}

bool ExclusiveFileHold::Held() const
{
    return handle_->file != INVALID_HANDLE_VALUE;
}

bool GiveToAnotherUser(const std::string& /*path*/)
{
    return false;
}

}  // namespace vexan::test

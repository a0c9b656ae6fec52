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

std::string NarrowNameOf(const std::u16string& wide)
{
    const auto* units = reinterpret_cast<const wchar_t*>(wide.c_str());
    const int length = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    const int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, length, nullptr, 0, nullptr, &lossy);
    if (bytes <= 0 || lossy != FALSE) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, units, length, narrow.data(), bytes, nullptr, &lossy);
    return lossy != FALSE ? std::string{} : narrow;
}

bool GiveToAnotherUser(const std::string& /*path*/)
{
    return false;
}

}  // namespace vexan::test

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "file_hold.hpp"

namespace vexan::test {

struct ExclusiveFileHold::Handle {
    int fd = -1;
    bool locked = false;
};

ExclusiveFileHold::ExclusiveFileHold(const std::string& path) : handle_(std::make_unique<Handle>())
{
    handle_->fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    handle_->locked = handle_->fd >= 0 && ::flock(handle_->fd, LOCK_EX | LOCK_NB) == 0;
}

ExclusiveFileHold::~ExclusiveFileHold()
{
    if (handle_->fd >= 0) {
        ::close(handle_->fd);
    }
}

bool ExclusiveFileHold::Held() const
{
    return handle_->locked;
}

std::string NarrowNameOf(const std::u16string& wide)
{
    std::string narrow;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        uint32_t code = wide[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < wide.size()) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(wide[++i]) - 0xDC00);
        }
        if (code < 0x80) {
            narrow.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            narrow.push_back(static_cast<char>(0xC0 | (code >> 6)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            narrow.push_back(static_cast<char>(0xE0 | (code >> 12)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            narrow.push_back(static_cast<char>(0xF0 | (code >> 18)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return narrow;
}

bool GiveToAnotherUser(const std::string& path)
{
    constexpr uid_t kSomeoneElse = 54321;
    return ::geteuid() == 0 && ::chown(path.c_str(), kSomeoneElse, kSomeoneElse) == 0;
}

}  // namespace vexan::test

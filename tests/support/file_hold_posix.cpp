#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

bool GiveToAnotherUser(const std::string& path)
{
    constexpr uid_t kSomeoneElse = 54321;
    return ::geteuid() == 0 && ::chown(path.c_str(), kSomeoneElse, kSomeoneElse) == 0;
}

}  // namespace vexan::test

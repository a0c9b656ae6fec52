#include <stdexcept>

#include "child_process.hpp"

namespace vexan::test {

int RunInChild(const std::function<void()>&, std::chrono::seconds)
{
    throw std::logic_error("a test that forks a child process cannot run on Windows");
}

}  // namespace vexan::test

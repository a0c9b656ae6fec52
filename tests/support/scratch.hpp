// A fresh directory of a test's own under the system's temporary directory.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

namespace vexan::test {

// Creates <temp>/<prefix>-<random> that did not exist before; throws when no
// such directory can be made.
inline std::filesystem::path MakeScratchDirectory(const std::string& prefix)
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            return candidate;
        }
    }
    throw std::runtime_error("no fresh scratch directory for " + prefix);
}

}  // namespace vexan::test

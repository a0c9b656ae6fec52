// The spill files of large SDO uploads.
#include "sdo_spill.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "progress.hpp"
#include "terminal.hpp"
#include "vexan.h"
#include "vexan_results.h"

namespace vexantool {

namespace {

constexpr std::size_t kFileChunk = 4096;

}  // namespace

std::string SpillName(uint8_t slot, unsigned node, unsigned index, unsigned sub)
{
    char name[64];
    std::snprintf(name, sizeof name, "%u_%u_%04X_%02X.seg", slot, node, index, sub);
    return name;
}

uint16_t CopySpill(uint8_t slot, uint8_t node, uint16_t index, uint8_t sub, uint32_t length, const std::string& path,
                   std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot write " + path;
        return VEXAN_NOT_STORED;
    }
    std::vector<uint8_t> chunk(kFileChunk);
    const bool progress = StderrIsTerminal();
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t offset = 0; offset < length;) {
        uint32_t got = 0;
        const auto want = static_cast<uint32_t>(std::min<std::size_t>(kFileChunk, length - offset));
        const uint16_t result = Vexan_SDOReadFile(slot, node, index, sub, offset, want, &got, chunk.data());
        if (result != VEXAN_OK || got == 0) {
            error = "reading the spill file at " + std::to_string(offset);
            return result != VEXAN_OK ? result : static_cast<uint16_t>(VEXAN_NOTHING_TO_READ);
        }
        out.write(reinterpret_cast<const char*>(chunk.data()), got);
        offset += got;
        if (progress) {
            ShowProgress("saving", offset, length, start);
        }
    }
    if (progress) {
        std::fprintf(stderr, "\n");
    }
    return out ? static_cast<uint16_t>(VEXAN_OK) : static_cast<uint16_t>(VEXAN_NOT_STORED);
}

SpillPlace::SpillPlace(const std::string& dir) : dir_(dir)
{
    if (dir.empty()) {
        return;
    }
    home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home_ < 0 || chdir(dir.c_str()) != 0) {
        error = "cannot use the spill directory " + dir + ": " + std::strerror(errno);
    }
}

SpillPlace::~SpillPlace()
{
    if (home_ >= 0) {
        [[maybe_unused]] const int back = fchdir(home_);
        close(home_);
    }
}

std::string SpillPlace::Path(const std::string& name) const
{
    return dir_.empty() ? name : (std::filesystem::path(dir_) / name).string();
}

}  // namespace vexantool

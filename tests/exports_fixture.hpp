// Shared by the SDO, PDO and SYNC/EMCY export tests: a board opened on a
// scripted module, the frames it wrote, and a scratch directory as the current
// directory for tests whose uploads write spill files.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "board.hpp"
#include "frames.hpp"
#include "module_peer.hpp"
#include "scratch.hpp"
#include "vexan.h"

namespace vexan::test {

inline constexpr uint8_t kExportSlot = 1;
inline constexpr uint8_t kExportMasterId = 0x7F;

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(OpenBoard(kExportSlot, peer_, kExportMasterId));
        peer_.ClearRecord();
    }
    void TearDown() override { CloseBoard(kExportSlot); }

    // The frames the library wrote, event polls left out, once at least
    // `atLeast` of them arrived.
    std::vector<Bytes> Wire(std::size_t atLeast = 0) const
    {
        peer_.WaitUntil([&](const std::vector<WrittenFrame>&) { return peer_.FramesExceptPolls().size() >= atLeast; });
        return RawFrames(peer_);
    }

    // True when nothing but event polls reaches the peer for a while (bytes on
    // their way are let in first).
    bool SendsNothing() const
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return peer_.FramesExceptPolls().empty();
    }

    static Reply Never()
    {
        Reply reply;
        reply.never = true;
        return reply;
    }

    ModulePeer peer_;
};

// Makes a fresh directory the current one for the scope's lifetime and removes
// it with everything in it afterwards.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        try {
            directory_ = MakeScratchDirectory("vexan-spill");
        } catch (const std::exception&) {
            return;
        }
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(directory_);
    }
    ~ScratchDirectory()
    {
        if (!directory_.empty()) {
            std::filesystem::current_path(previous_);
            std::filesystem::remove_all(directory_);
        }
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool Ok() const { return !directory_.empty(); }
    // The files in the directory.
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

private:
    std::filesystem::path directory_;
    std::filesystem::path previous_;
};

}  // namespace vexan::test

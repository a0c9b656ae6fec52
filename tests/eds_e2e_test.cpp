// End to end against the module simulator with the real EDS and DCF files:
// after Vexan_EDS_Load the simulated module holds exactly the node's PDOs,
// mappings, transmission types, event timers and SYNC and EMCY COB-IDs that
// the file describes. The expectation is read from the file by the
// simulator's own dictionary reader, not by the library's.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "board.hpp"
#include "object_dictionary.hpp"
#include "vexan.h"
#include "vexan_sim/simulator.hpp"

namespace {

constexpr uint8_t kSlot = 3;
constexpr uint8_t kNode = 3;

struct Pdo {
    uint16_t cobId;
    uint8_t direction;
    uint16_t number;
    uint8_t type;
    uint16_t timer;
    std::vector<uint32_t> entries;
    auto Key() const { return std::tie(direction, number); }
    bool operator==(const Pdo&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Pdo& pdo)
{
    out << "{cob 0x" << std::hex << pdo.cobId << std::dec << " dir " << int{pdo.direction} << " no " << pdo.number
        << " type " << int{pdo.type} << " timer " << pdo.timer << " entries";
    for (const uint32_t entry : pdo.entries) {
        out << " 0x" << std::hex << entry << std::dec;
    }
    return out << '}';
}

struct Expected {
    uint16_t outcome = VEXAN_OK;
    std::optional<uint16_t> sync;
    std::optional<uint16_t> emcy;
    std::vector<Pdo> pdos;
};

std::string Section(uint16_t index, unsigned sub)
{
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "%04Xsub%u", static_cast<unsigned>(index), sub);
    return name.data();
}

// What the file describes for node kNode, read with the simulator's reader.
Expected Describe(const vexsim::EdsText& eds)
{
    Expected expected;
    const auto number = [&](const std::string& section) -> std::optional<uint64_t> {
        const auto text = eds.Value(section, "DefaultValue");
        if (!text || text->empty()) {
            return std::nullopt;
        }
        return vexsim::EvaluateEdsNumber(*text, kNode);
    };
    // A [1000] section is enough: many device and configuration files give it no DefaultValue.
    if (!eds.HasSection("1000")) {
        expected.outcome = VEXAN_EDS_VALUE;
        return expected;
    }
    for (const auto& [section, target] : {std::pair{"1005", &expected.sync}, std::pair{"1014", &expected.emcy}}) {
        if (eds.Value(section, "DefaultValue")) {
            const auto value = number(section);
            if (!value) {
                expected.outcome = VEXAN_EDS_VALUE;
                return expected;
            }
            *target = static_cast<uint16_t>(*value);
        }
    }
    for (const uint8_t direction : {uint8_t{0}, uint8_t{1}}) {
        const auto comm = static_cast<uint16_t>(direction == 0 ? 0x1400 : 0x1800);
        const auto map = static_cast<uint16_t>(direction == 0 ? 0x1600 : 0x1A00);
        for (uint16_t n = 0; n < 512; ++n) {
            if (!eds.Value(Section(static_cast<uint16_t>(comm + n), 1), "DefaultValue")) {
                break;
            }
            // Bit 30 (no remote request) is a flag of a valid PDO; bit 31 marks one not valid.
            auto cobId = number(Section(static_cast<uint16_t>(comm + n), 1));
            if (cobId) {
                *cobId &= ~uint64_t{0x40000000};
            }
            if (!cobId || *cobId > 0x7FF) {
                continue;
            }
            Pdo pdo{static_cast<uint16_t>(*cobId), direction, static_cast<uint16_t>(n + 1), 255, 0, {}};
            if (const auto type = number(Section(static_cast<uint16_t>(comm + n), 2))) {
                pdo.type = static_cast<uint8_t>(*type);
            }
            if (direction == 1) {
                if (const auto timer = number(Section(static_cast<uint16_t>(comm + n), 5))) {
                    pdo.timer = static_cast<uint16_t>(*timer);
                }
            }
            const auto count = number(Section(static_cast<uint16_t>(map + n), 0));
            for (unsigned k = 1; count && *count <= 8 && k <= *count; ++k) {
                const auto entry = number(Section(static_cast<uint16_t>(map + n), k));
                if (!entry) {
                    break;
                }
                pdo.entries.push_back(static_cast<uint32_t>(*entry));
            }
            expected.pdos.push_back(pdo);
        }
    }
    return expected;
}

class EdsFilesE2E : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        if (!std::filesystem::is_directory(VEXAN_EDS_DIR)) {
            GTEST_SKIP() << "EDS folder not found: '" << VEXAN_EDS_DIR << "'";
        }
        path_ = std::string(VEXAN_EDS_DIR) + "/" + GetParam();
        sim_ = std::make_unique<vexsim::Simulator>();
        std::string error;
        // On the bus but not in the master's list: the load adds it.
        ASSERT_TRUE(sim_->AddEdsNode(kNode, path_, &error, false)) << error;
        sim_->Start();
        fd_ = sim_->OpenLibraryEnd();
        ASSERT_NE(fd_, vexsim::kNoLinePort);
        ASSERT_EQ(vexan::test::StartMaster(kSlot, fd_, 1), VEXAN_OK);
        Vexan_SetFunctionTimeout(kSlot, vexan::test::kGenerousTimeoutMs);
        sim_->WithModule([&](vexsim::Module& module) {
            const vexsim::SimNode* node = module.FindNode(kNode);
            ASSERT_NE(node, nullptr);
            syncBefore_ = node->syncCobId;
            emcyBefore_ = node->emcyCobId;
        });
    }
    void TearDown() override
    {
        Vexan_ShutdownMaster(kSlot);
        vexsim::CloseLinePort(fd_);
        sim_.reset();
    }

    // Gives the simulated node each object a described PDO maps that its file
    // does not define (python_canopen_sample.eds maps 0x6040 and others without
    // describing them), so that the module accepts the PDOs the file describes
    // and what it holds afterwards shows what the library asked for.
    void ProvideMappedObjects(const Expected& expected)
    {
        sim_->WithModule([&](vexsim::Module& module) {
            const vexsim::SimNode* node = module.FindNode(kNode);
            ASSERT_NE(node, nullptr);
            for (const Pdo& pdo : expected.pdos) {
                for (const uint32_t entry : pdo.entries) {
                    const auto index = static_cast<uint16_t>(entry >> 16);
                    const auto sub = static_cast<uint8_t>(entry >> 8);
                    const unsigned bits = entry & 0xFF;
                    if (entry == 0 || index < 0x1000 || node->dictionary.Find(index, sub) != nullptr) {
                        continue;
                    }
                    const auto type = bits == 8    ? vexsim::DataType::Unsigned8
                                      : bits == 16 ? vexsim::DataType::Unsigned16
                                                   : vexsim::DataType::Unsigned32;
                    ASSERT_TRUE(bits == 8 || bits == 16 || bits == 32) << std::hex << entry;
                    ASSERT_TRUE(module.PutObject(
                        kNode, vexsim::ObjectEntry{index, sub, "mapped", type, vexsim::Access::ReadWrite, true,
                                                   std::vector<uint8_t>(bits / 8, 0)}));
                }
            }
        });
    }

    std::vector<Pdo> ModulePdos()
    {
        std::vector<Pdo> pdos;
        sim_->WithModule([&](vexsim::Module& module) {
            for (const auto& record : module.Pdos()) {
                if (record.node != kNode) {
                    continue;
                }
                Pdo pdo{record.cobId,      static_cast<uint8_t>(record.direction),
                        record.number,     record.transmissionType,
                        record.eventTimer, {}};
                pdo.entries.assign(record.mapping.begin(), record.mapping.begin() + record.entriesInUse);
                pdos.push_back(pdo);
            }
        });
        std::sort(pdos.begin(), pdos.end(), [](const Pdo& a, const Pdo& b) { return a.Key() < b.Key(); });
        return pdos;
    }

    void ExpectConfigured(const Expected& expected)
    {
        // Every real file is a valid device file, whether or not its [1000]
        // has a DefaultValue, and describes PDOs.
        EXPECT_EQ(expected.outcome, VEXAN_OK);
        EXPECT_FALSE(expected.pdos.empty());
        EXPECT_EQ(ModulePdos(), expected.pdos);
        sim_->WithModule([&](vexsim::Module& module) {
            const vexsim::SimNode* node = module.FindNode(kNode);
            ASSERT_NE(node, nullptr);
            EXPECT_TRUE(node->listed);
            if (expected.outcome == VEXAN_OK || expected.sync) {
                EXPECT_EQ(node->state, vexsim::NmtState::Operational);
            }
            // A COB-ID the file does not give is left as the node had it.
            EXPECT_EQ(node->syncCobId, expected.sync.value_or(syncBefore_));
            EXPECT_EQ(node->emcyCobId, expected.emcy.value_or(emcyBefore_));
        });
    }

    std::string path_;
    std::unique_ptr<vexsim::Simulator> sim_;
    vexsim::LinePort fd_ = vexsim::kNoLinePort;
    uint16_t syncBefore_ = 0;
    uint16_t emcyBefore_ = 0;
};

TEST_P(EdsFilesE2E, BlockingLoadConfiguresWhatTheFileDescribes)
{
    const vexsim::EdsLoad file = vexsim::LoadEds(path_, kNode);
    ASSERT_TRUE(file.ok) << file.error;
    const Expected expected = Describe(file.text);
    ASSERT_NO_FATAL_FAILURE(ProvideMappedObjects(expected));
    EXPECT_EQ(Vexan_EDS_Load(kSlot, kNode, path_.c_str(), 0, 0, 1), expected.outcome);
    ExpectConfigured(expected);
}

TEST_P(EdsFilesE2E, NonBlockingLoadOnAWidePath)
{
    const vexsim::EdsLoad file = vexsim::LoadEds(path_, kNode);
    ASSERT_TRUE(file.ok) << file.error;
    const Expected expected = Describe(file.text);
    ASSERT_NO_FATAL_FAILURE(ProvideMappedObjects(expected));
    std::u16string wide(path_.begin(), path_.end());  // the folder's path is ASCII
    ASSERT_EQ(Vexan_EDS_Load(kSlot, kNode, wide.c_str(), 0, 0, 0), VEXAN_SENT);
    const auto [outcome, waits] =
        vexan::test::RepeatWhileWaiting([&] { return Vexan_EDS_Load(kSlot, kNode, wide.c_str(), 0, 0, 0); });
    EXPECT_EQ(outcome, expected.outcome);
    ExpectConfigured(expected);
}

INSTANTIATE_TEST_SUITE_P(RealFiles, EdsFilesE2E,
                         ::testing::Values("canopennode_demodevice.eds", "python_canopen_sample.eds",
                                           "lely_coapp_fiber_slave.dcf", "ros2_canopen_simple_slave_no_eof_newline.eds",
                                           "pilz_prbt_0_1.dcf", "technosoft_isd860.eds", "maxon_epos4_50_15_node1.dcf",
                                           "systec_sysworxx_iox1_16di_8do.eds", "oresat_c3_app_control.eds",
                                           "canfestival_ds401_slave_gui.eds"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             std::string name = param.param;
                             name = name.substr(0, name.find('.'));
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace

// The built-in default device.
#include "object_dictionary.hpp"

#include <gtest/gtest.h>

namespace vexsim {
namespace {

constexpr uint8_t kNode = 5;

TEST(DefaultDevice, IdentityCommunicationAndMapping)
{
    const ObjectDictionary od = DefaultDevice(kNode);
    const DeviceInfo info = DefaultDeviceInfo();

    EXPECT_EQ(od.ReadUnsigned(0x1000, 0), 0x000F0191U);
    EXPECT_EQ(od.ReadUnsigned(0x1001, 0), 0U);
    EXPECT_EQ(od.ReadUnsigned(0x1018, 0), 4U);
    EXPECT_EQ(od.ReadUnsigned(0x1018, 1), info.vendorNumber);
    EXPECT_EQ(od.ReadUnsigned(0x1018, 2), info.productNumber);
    EXPECT_TRUE(od.ReadUnsigned(0x1018, 3).has_value());
    EXPECT_NE(od.ReadUnsigned(0x1018, 4), DefaultDevice(6).ReadUnsigned(0x1018, 4));  // serial per node

    const ObjectEntry* heartbeat = od.Find(0x1017, 0);
    ASSERT_NE(heartbeat, nullptr);
    EXPECT_EQ(heartbeat->type, DataType::Unsigned16);
    EXPECT_EQ(heartbeat->access, Access::ReadWrite);

    const ObjectEntry* name = od.Find(0x1008, 0);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->type, DataType::VisibleString);
    EXPECT_EQ(std::string(name->value.begin(), name->value.end()), "Vexan I/O node");

    const std::array<uint32_t, 4> rpdo = {0x205, 0x305, 0x405, 0x505};
    const std::array<uint32_t, 4> tpdo = {0x185, 0x285, 0x385, 0x485};
    for (uint16_t i = 0; i < 4; ++i) {
        EXPECT_EQ(od.ReadUnsigned(static_cast<uint16_t>(0x1400 + i), 1), rpdo[i]) << i;
        EXPECT_EQ(od.ReadUnsigned(static_cast<uint16_t>(0x1800 + i), 1), tpdo[i]) << i;
        EXPECT_TRUE(od.HasIndex(static_cast<uint16_t>(0x1600 + i))) << i;
        EXPECT_TRUE(od.HasIndex(static_cast<uint16_t>(0x1A00 + i))) << i;
    }

    // The first PDOs map the four 8-bit channels, and those channels exist.
    ASSERT_EQ(od.ReadUnsigned(0x1600, 0), 4U);
    ASSERT_EQ(od.ReadUnsigned(0x1A00, 0), 4U);
    for (uint8_t sub = 1; sub <= 4; ++sub) {
        const uint32_t channel = static_cast<uint32_t>(sub) << 8 | 8;
        EXPECT_EQ(od.ReadUnsigned(0x1600, sub), 0x62000000U | channel);
        EXPECT_EQ(od.ReadUnsigned(0x1A00, sub), 0x60000000U | channel);
        const ObjectEntry* output = od.Find(0x6200, sub);
        const ObjectEntry* input = od.Find(0x6000, sub);
        ASSERT_NE(output, nullptr);
        ASSERT_NE(input, nullptr);
        EXPECT_TRUE(output->pdoMappable && input->pdoMappable);
        EXPECT_EQ(output->type, DataType::Unsigned8);
        EXPECT_EQ(output->access, Access::ReadWrite);
    }
    EXPECT_EQ(od.Find(0x6000, 5), nullptr);
}

TEST(DefaultDevice, TestAreaAndDomainsHoldTheirPattern)
{
    ObjectDictionary od = DefaultDevice(kNode);
    const std::array<std::pair<uint8_t, DataType>, 4> area = {
        {{1, DataType::Unsigned8}, {2, DataType::Unsigned16}, {3, DataType::Unsigned32}, {4, DataType::VisibleString}}};
    for (const auto& [sub, type] : area) {
        const ObjectEntry* entry = od.Find(0x2000, sub);
        ASSERT_NE(entry, nullptr) << int{sub};
        EXPECT_EQ(entry->type, type);
        EXPECT_EQ(entry->access, Access::ReadWrite);
    }
    EXPECT_TRUE(od.WriteUnsigned(0x2000, 3, 0xDEADBEEF));
    EXPECT_EQ(od.ReadUnsigned(0x2000, 3), 0xDEADBEEFU);

    for (const auto& [index, size] : {std::pair<uint16_t, std::size_t>{0x2100, 5000}, {0x2101, 1048576}}) {
        const ObjectEntry* domain = od.Find(index, 0);
        ASSERT_NE(domain, nullptr);
        EXPECT_EQ(domain->type, DataType::Domain);
        ASSERT_EQ(domain->value.size(), size);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < size; ++i) {
            mismatches += domain->value[i] != static_cast<uint8_t>((i * 7 + 3) & 0xFF) ? 1 : 0;
        }
        EXPECT_EQ(mismatches, 0U) << std::hex << index;
    }
}

}  // namespace
}  // namespace vexsim

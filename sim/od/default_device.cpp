// The built-in default device: a small digital I/O node that needs no EDS file.
#include "object_dictionary.hpp"

#include <array>

namespace vexsim {
namespace {

constexpr uint32_t kDeviceType = 0x000F0191;  // I/O profile, digital in + out
constexpr uint32_t kVendorNumber = 0x0056584E;
constexpr uint32_t kProductNumber = 0x00000401;
constexpr uint32_t kRevisionNumber = 0x00010000;
constexpr uint32_t kSerialBase = 0x00001000;  // + node id, so nodes differ
constexpr uint8_t kTransmissionAsync = 0xFF;
constexpr uint32_t kSyncCobId = 0x80;
constexpr uint32_t kEmcyBase = 0x80;

constexpr std::size_t kPdoCount = 4;
constexpr std::size_t kIoChannels = 4;       // 8-bit channels in 0x6000 and 0x6200
constexpr std::size_t kMappingCapacity = 8;  // mapping subs 1..8
constexpr std::array<uint32_t, kPdoCount> kRpdoBase = {0x200, 0x300, 0x400, 0x500};
constexpr std::array<uint32_t, kPdoCount> kTpdoBase = {0x180, 0x280, 0x380, 0x480};

constexpr std::size_t kSmallDomainSize = 5000;
constexpr std::size_t kLargeDomainSize = std::size_t{1} << 20;

std::vector<uint8_t> LittleEndian(uint64_t value, std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

// Known content so that segmented and block transfers can be checked byte
// for byte.
std::vector<uint8_t> DomainPattern(std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
    }
    return bytes;
}

struct Builder {
    ObjectDictionary dictionary;

    void Number(uint16_t index, uint8_t sub, std::string name, DataType type, Access access, uint64_t value,
                bool mappable = false)
    {
        dictionary.Put(
            ObjectEntry{index, sub, std::move(name), type, access, mappable, LittleEndian(value, SizeOf(type))});
    }

    void Bytes(uint16_t index, uint8_t sub, std::string name, DataType type, Access access, std::vector<uint8_t> value)
    {
        dictionary.Put(ObjectEntry{index, sub, std::move(name), type, access, false, std::move(value)});
    }

    void Count(uint16_t index, uint8_t highest, Access access = Access::ReadOnly)
    {
        Number(index, 0, "Highest sub-index supported", DataType::Unsigned8, access, highest);
    }

    static std::vector<uint8_t> Text(std::string_view text) { return {text.begin(), text.end()}; }
};

}  // namespace

DeviceInfo DefaultDeviceInfo()
{
    DeviceInfo info;
    info.vendorName = "Vexan";
    info.productName = "Vexan I/O node";
    info.vendorNumber = kVendorNumber;
    info.productNumber = kProductNumber;
    return info;
}

ObjectDictionary DefaultDevice(uint8_t nodeId)
{
    using enum DataType;
    Builder b;
    const DeviceInfo info = DefaultDeviceInfo();

    b.Number(0x1000, 0, "Device type", Unsigned32, Access::ReadOnly, kDeviceType);
    b.Number(0x1001, 0, "Error register", Unsigned8, Access::ReadOnly, 0);
    b.Number(0x1005, 0, "COB-ID SYNC", Unsigned32, Access::ReadWrite, kSyncCobId);
    b.Bytes(0x1008, 0, "Manufacturer device name", VisibleString, Access::Const, Builder::Text(info.productName));
    b.Number(0x1014, 0, "COB-ID EMCY", Unsigned32, Access::ReadWrite, kEmcyBase + nodeId);
    b.Number(0x1017, 0, "Producer heartbeat time", Unsigned16, Access::ReadWrite, 0);

    b.Count(0x1018, 4);
    b.Number(0x1018, 1, "Vendor-ID", Unsigned32, Access::ReadOnly, info.vendorNumber);
    b.Number(0x1018, 2, "Product code", Unsigned32, Access::ReadOnly, info.productNumber);
    b.Number(0x1018, 3, "Revision number", Unsigned32, Access::ReadOnly, kRevisionNumber);
    b.Number(0x1018, 4, "Serial number", Unsigned32, Access::ReadOnly, kSerialBase + nodeId);

    for (std::size_t pdo = 0; pdo < kPdoCount; ++pdo) {
        const auto offset = static_cast<uint16_t>(pdo);
        const auto rpdoComm = static_cast<uint16_t>(0x1400 + offset);
        b.Count(rpdoComm, 2);
        b.Number(rpdoComm, 1, "COB-ID used by RPDO", Unsigned32, Access::ReadWrite, kRpdoBase[pdo] + nodeId);
        b.Number(rpdoComm, 2, "Transmission type", Unsigned8, Access::ReadWrite, kTransmissionAsync);

        const auto tpdoComm = static_cast<uint16_t>(0x1800 + offset);
        b.Count(tpdoComm, 5);
        b.Number(tpdoComm, 1, "COB-ID used by TPDO", Unsigned32, Access::ReadWrite, kTpdoBase[pdo] + nodeId);
        b.Number(tpdoComm, 2, "Transmission type", Unsigned8, Access::ReadWrite, kTransmissionAsync);
        b.Number(tpdoComm, 3, "Inhibit time", Unsigned16, Access::ReadWrite, 0);
        b.Number(tpdoComm, 5, "Event timer", Unsigned16, Access::ReadWrite, 0);

        // The first RPDO carries the outputs and the first TPDO the inputs;
        // the other mappings start empty for masters to fill.
        const auto rpdoMap = static_cast<uint16_t>(0x1600 + offset);
        const auto tpdoMap = static_cast<uint16_t>(0x1A00 + offset);
        const uint8_t mapped = pdo == 0 ? static_cast<uint8_t>(kIoChannels) : 0;
        b.Count(rpdoMap, mapped, Access::ReadWrite);
        b.Count(tpdoMap, mapped, Access::ReadWrite);
        for (std::size_t sub = 1; sub <= kMappingCapacity; ++sub) {
            const bool used = sub <= mapped;
            const uint32_t channel = static_cast<uint32_t>(sub) << 8 | 8;  // sub-index, 8 bits
            const auto subIndex = static_cast<uint8_t>(sub);
            b.Number(rpdoMap, subIndex, "Mapped object " + std::to_string(sub), Unsigned32, Access::ReadWrite,
                     used ? 0x62000000 | channel : 0);
            b.Number(tpdoMap, subIndex, "Mapped object " + std::to_string(sub), Unsigned32, Access::ReadWrite,
                     used ? 0x60000000 | channel : 0);
        }
    }

    b.Count(0x6000, kIoChannels);
    b.Count(0x6200, kIoChannels);
    for (std::size_t sub = 1; sub <= kIoChannels; ++sub) {
        const auto subIndex = static_cast<uint8_t>(sub);
        b.Number(0x6000, subIndex, "Read input 8 bits " + std::to_string(sub), Unsigned8, Access::ReadOnly, 0, true);
        b.Number(0x6200, subIndex, "Write output 8 bits " + std::to_string(sub), Unsigned8, Access::ReadWrite, 0, true);
    }

    b.Count(0x2000, 4);
    b.Number(0x2000, 1, "Test u8", Unsigned8, Access::ReadWrite, 0, true);
    b.Number(0x2000, 2, "Test u16", Unsigned16, Access::ReadWrite, 0, true);
    b.Number(0x2000, 3, "Test u32", Unsigned32, Access::ReadWrite, 0, true);
    b.Bytes(0x2000, 4, "Test string", VisibleString, Access::ReadWrite, Builder::Text("test"));

    b.Bytes(0x2100, 0, "Domain 5000 bytes", Domain, Access::ReadWrite, DomainPattern(kSmallDomainSize));
    b.Bytes(0x2101, 0, "Domain 1 MiB", Domain, Access::ReadWrite, DomainPattern(kLargeDomainSize));
    return std::move(b.dictionary);
}

}  // namespace vexsim

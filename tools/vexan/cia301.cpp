// The CiA 301 tables the tool names codes by: SDO abort codes, emergency error
// codes and the bits of the error register.
#include "cia301.hpp"

namespace vexantool {

std::string AbortMeaning(uint32_t code)
{
    struct Entry {
        uint32_t code;
        const char* text;
    };
    static constexpr Entry kAborts[] = {
        {0x05030000, "toggle bit not alternated"},
        {0x05040000, "SDO protocol timed out"},
        {0x05040001, "client/server command specifier not valid or unknown"},
        {0x05040002, "invalid block size"},
        {0x05040003, "invalid sequence number"},
        {0x05040004, "CRC error"},
        {0x05040005, "out of memory"},
        {0x06010000, "unsupported access to an object"},
        {0x06010001, "attempt to read a write only object"},
        {0x06010002, "attempt to write a read only object"},
        {0x06020000, "object does not exist in the object dictionary"},
        {0x06040041, "object cannot be mapped to the PDO"},
        {0x06040042, "the number and length of the objects to be mapped would exceed PDO length"},
        {0x06040043, "general parameter incompatibility"},
        {0x06040047, "general internal incompatibility in the device"},
        {0x06060000, "access failed due to a hardware error"},
        {0x06070010, "data type does not match, length of service parameter does not match"},
        {0x06070012, "data type does not match, length of service parameter too high"},
        {0x06070013, "data type does not match, length of service parameter too low"},
        {0x06090011, "sub-index does not exist"},
        {0x06090030, "invalid value for parameter"},
        {0x06090031, "value of parameter written too high"},
        {0x06090032, "value of parameter written too low"},
        {0x06090036, "maximum value is less than minimum value"},
        {0x060A0023, "resource not available: SDO connection"},
        {0x08000000, "general error"},
        {0x08000020, "data cannot be transferred or stored to the application"},
        {0x08000021, "data cannot be transferred or stored to the application because of local control"},
        {0x08000022, "data cannot be transferred or stored to the application because of the present device state"},
        {0x08000023, "object dictionary dynamic generation fails or no object dictionary is present"},
        {0x08000024, "no data available"},
    };
    for (const Entry& entry : kAborts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "unknown abort code";
}

std::string EmcyMeaning(uint16_t code)
{
    switch (code) {
    case 0x0000:
        return "error reset or no error";
    case 0x1000:
        return "generic error";
    case 0x6100:
        return "internal software";
    case 0x6200:
        return "user software";
    case 0x6300:
        return "data set";
    case 0x7000:
        return "additional modules";
    case 0x8100:
        return "communication";
    case 0x8110:
        return "CAN overrun (objects lost)";
    case 0x8120:
        return "CAN in error passive mode";
    case 0x8130:
        return "life guard error or heartbeat error";
    case 0x8140:
        return "recovered from bus off";
    case 0x8150:
        return "CAN-ID collision";
    case 0x8200:
        return "protocol error";
    case 0x8210:
        return "PDO not processed due to length error";
    case 0x8220:
        return "PDO length exceeded";
    case 0x8230:
        return "DAM MPDO not processed, destination object not available";
    case 0x8240:
        return "unexpected SYNC data length";
    case 0x8250:
        return "RPDO timeout";
    case 0x9000:
        return "external error";
    case 0xF000:
        return "additional functions";
    default:
        break;
    }
    switch (code >> 12) {
    case 0x2:
        return "current";
    case 0x3:
        return "voltage";
    case 0x4:
        return "temperature";
    case 0x5:
        return "device hardware";
    case 0x6:
        return "device software";
    case 0x7:
        return "additional modules";
    case 0x8:
        return "monitoring";
    case 0x9:
        return "external error";
    case 0xF:
        return (code >> 8) == 0xFF ? "device specific" : "additional functions";
    default:
        return "unknown error code";
    }
}

std::vector<std::string> ErrorRegisterBits(uint8_t value)
{
    static constexpr const char* kBits[8] = {"generic",       "current",        "voltage",  "temperature",
                                             "communication", "device profile", "reserved", "manufacturer specific"};
    std::vector<std::string> names;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((value >> bit & 1u) != 0) {
            names.emplace_back(kBits[bit]);
        }
    }
    return names;
}

const char* KnownNmtStateName(uint8_t state)
{
    switch (state) {
    case 0:
        return "initialising";
    case 4:
        return "stopped";
    case 5:
        return "operational";
    case 127:
        return "pre-operational";
    default:
        return nullptr;
    }
}

}  // namespace vexantool

// Objects by name and type for the tool's commands: the device files attached
// to nodes (--eds NODE=FILE, the shell's eds attach), what an object argument
// names, which type a value is read and written as, and a PDO's data cut into
// its mapped fields.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec.hpp"
#include "device_model.hpp"

namespace vexantool {

// The device files attached to nodes. Copies share the models.
class DeviceFiles {
public:
    // Reads FILE for the node (1..127), in place of one attached before;
    // false with the reason when the file cannot be read.
    bool Attach(unsigned node, const std::string& path, std::string& error);
    // "NODE=FILE".
    bool AttachSpec(const std::string& spec, std::string& error);
    void Detach(unsigned node) { files_.erase(node); }
    // The node's model, or null.
    const vexan::od::DeviceModel* Model(unsigned node) const;
    const std::string& Path(unsigned node) const;
    // The nodes that have a file, rising.
    std::vector<unsigned> Nodes() const;

private:
    struct Attached {
        std::string path;
        std::shared_ptr<const vexan::od::DeviceModel> model;
    };
    std::map<unsigned, Attached> files_;
};

// An object of a node as a command named it.
struct ObjectRef {
    uint16_t index = 0;
    uint8_t sub = 0;
    const vexan::od::Entry* entry = nullptr;  // from the node's device file
    std::string name;                         // the entry's path ("Identity object/Vendor-ID"), or ""
};

// What OBJECT [SUB] of a command names for `node`:
// - with SUB apart, OBJECT is a number as before (decimal, or hex with 0x) or
//   a name of an object with sub-objects;
// - alone, OBJECT is INDEX[:SUB] in hex ("1018:01", "0x1017"), or a name, a
//   path or a unique prefix in the node's device file.
// nullopt with the reason when nothing fits (a name without a device file, an
// ambiguous prefix, an object with sub-objects and no sub-index).
std::optional<ObjectRef> ResolveObject(const DeviceFiles* files, unsigned node, const std::string& object,
                                       std::optional<unsigned> sub, std::string& error);

// The type a value is read or written as.
struct ValueType {
    uint16_t dataType = 0;
    bool hex = false;   // integers shown in hex first (x8..x64)
    std::string label;  // the short name: "u16", "string", "hex"
};
// The -t type when one is given ("auto" is none), else the entry's data type,
// else nullopt (the value is shown by its size, and written as u32, as
// without a device file). Sets `error` for an unknown -t name or an entry of
// a type that is no basic type.
std::optional<ValueType> ChooseType(const std::string& requested, const ObjectRef& object, std::string& error);
// The short names -t takes, for the help and the checks.
std::vector<std::string> TypeNames();

// A value read, shown: "5658702 (0x0056584E, u32)" and its JSON value (a
// number for integers and reals, a string otherwise).
struct ShownValue {
    std::string human;
    std::string json;
};
std::optional<ShownValue> ShowValue(const ValueType& type, std::span<const uint8_t> bytes, std::string& error);

// The bytes of a value to write, checked before anything is sent: the entry's
// access (read-only and const refused), the type's range, the entry's limits
// for the node. `type` is the one ChooseType gave.
std::optional<std::vector<uint8_t>> EncodeWrite(const ValueType& type, const ObjectRef& object, unsigned node,
                                                const std::string& text, std::string& error);

// One field of a PDO cut by its mapping.
struct PdoField {
    uint16_t index = 0;
    uint8_t sub = 0;
    unsigned bits = 0;
    unsigned offset = 0;   // in bits from the start of the data
    std::string name;      // from the device file, or "" (a dummy entry: its type's name)
    std::string type;      // the data type's short name, or "" when unknown
    bool present = false;  // the data reaches to the field's end
    std::string human;     // the value for people
    std::string json;      // the value as JSON (null when not present)
    std::string hex;       // the field's bits as bytes, hex
};
// Cuts `data` into the fields of `mapping` (index << 16 | sub << 8 | bits,
// as the module reports them), named and typed from `model` when given;
// dummy entries (index below 0x20) are typed by their index.
std::vector<PdoField> DecodePdo(const vexan::od::DeviceModel* model, std::span<const uint32_t> mapping,
                                std::span<const uint8_t> data);

}  // namespace vexantool

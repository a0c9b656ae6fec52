// The spill files of large SDO uploads: where they go, their names, and
// copying one out to a file of the user's.
#pragma once

#include <cstdint>
#include <string>

namespace vexantool {

// The name the library gives the spill file of an object's upload.
std::string SpillName(uint8_t slot, unsigned node, unsigned index, unsigned sub);

// Copies a large upload out of its spill file with Vexan_SDOReadFile into
// `path`; the result, with the reason in `error` on failure.
uint16_t CopySpill(uint8_t slot, uint8_t node, uint16_t index, uint8_t sub, uint32_t length, const std::string& path,
                   std::string& error);

// Where large uploads spill: the library writes spill files into the current
// directory, so the tool works in the chosen one for the read, and goes back.
class SpillPlace {
public:
    explicit SpillPlace(const std::string& dir);
    ~SpillPlace();
    SpillPlace(const SpillPlace&) = delete;
    SpillPlace& operator=(const SpillPlace&) = delete;
    // `name` in the spill directory, as seen from where the tool started.
    std::string Path(const std::string& name) const;
    std::string error;  // why the directory cannot be used; "" when it can

private:
    std::string dir_;
    int home_ = -1;
};

}  // namespace vexantool

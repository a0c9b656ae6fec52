// Result codes in words, from the library's own table of names.
#include "results.hpp"

#include <cstring>

#include "text.hpp"
#include "vexan_results.h"

namespace vexantool {

std::string ResultName(unsigned code)
{
    const char* name = vexan_result_name(code);
    return name != nullptr ? name : "";
}

std::string ResultText(unsigned code)
{
    const char* name = vexan_result_name(code);
    if (name == nullptr) {
        return "module status (" + std::to_string(code) + ")";
    }
    return Lower(name + std::strlen("VEXAN_")) + " (" + std::to_string(code) + ")";
}

}  // namespace vexantool

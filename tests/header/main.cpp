// vexan_results.h on its own, as C++, and the check that every translation
// unit of this program compiled, links against the shared library and sees the
// same library: each header alone, in C and in C++.
#include "vexan_results.h"

#include <cstdio>
#include <cstring>

extern "C" unsigned vexan_header_c_version(void);
extern "C" const char* vexan_header_c_name(unsigned code);
unsigned VexanHeaderCxxVersion();

namespace {

int failures = 0;

void Check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

bool Named(const char* name, const char* expected)
{
    return name != nullptr && std::strcmp(name, expected) == 0;
}

}  // namespace

int main()
{
    Check(vexan_header_c_version() == VEXAN_LIBRARY_VERSION, "the version through the C translation unit");
    Check(VexanHeaderCxxVersion() == VEXAN_LIBRARY_VERSION, "the version through the C++ translation unit");
    Check(Named(vexan_header_c_name(VEXAN_TIMEOUT), "VEXAN_TIMEOUT"), "a code's name through the C translation unit");
    Check(Named(vexan_result_name(VEXAN_OUT_OF_RANGE), "VEXAN_OUT_OF_RANGE"),
          "a code's name through the C++ translation unit");
    Check(vexan_result_name(1) == nullptr, "a value that is no library code has no name");
    return failures == 0 ? 0 : 1;
}

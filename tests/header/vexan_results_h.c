/* vexan_results.h on its own, as C99. */
#include "vexan_results.h"

const char* vexan_header_c_name(unsigned code);

const char* vexan_header_c_name(unsigned code)
{
    return vexan_result_name(code);
}

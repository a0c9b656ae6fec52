/* vexan.h on its own, as C99. */
#include "vexan.h"

unsigned vexan_header_c_version(void);

unsigned vexan_header_c_version(void)
{
    return Vexan_GetVersion();
}

// vexan.h on its own, as C++.
#include "vexan.h"

unsigned VexanHeaderCxxVersion();

unsigned VexanHeaderCxxVersion()
{
    return Vexan_GetVersion();
}

// The module protocol's command table, as the library's layers include it. The
// table itself is the header-only target vexan_command_table
// (src/command_table/), which the tools link too without seeing the rest of src/.
#pragma once

#include "vexan_command_table.hpp"

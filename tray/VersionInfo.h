// Reading the program's own version resource into the process-wide state.
#pragma once

namespace qdrl {

// Fills module path and directory, file and product versions, recorded file name and
// product name. False when any part is missing, including a resource without the US
// English / UTF-16 translation. The outcome is remembered in the process state.
bool ReadOwnVersionInfo();

}  // namespace qdrl

// The About command of dialog parent 0.
#pragma once

#include <windows.h>

namespace qdrl {

// Shows the About box, or the service-not-running warning, owned by `owner`.
void RunAboutCommand(HWND owner);

}  // namespace qdrl

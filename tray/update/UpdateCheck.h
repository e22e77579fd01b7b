// The update client's entry points used by start-up and by dialog parent 1.
#pragma once

#include <windows.h>

namespace qdrl {

// Start-up: on every start but a user's first, looks for a newer version and, when one
// is offered, posts the update notice to the tray window.
void RunStartupUpdateCheck();

// The update wizard, owned by `owner`, when an update is available.
void RunUpdateWizard(HWND owner);

}  // namespace qdrl

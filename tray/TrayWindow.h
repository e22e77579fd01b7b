// The hidden "QDRLGUI" tray window on the main thread and its notification icon.
#pragma once

namespace qdrl {

// Start-up: registers the class, creates the window and adds the icon, showing
// whether the service runs. False when any of it fails (the program needs a running
// taskbar when it starts).
bool CreateTrayWindow();

}  // namespace qdrl

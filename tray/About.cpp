#include "About.h"

namespace qdrl {

// The About box and its dialog framework are not built yet: until they are, the
// command is accepted (with the dialog parent's busy-flag rule) and shows nothing.
void RunAboutCommand(HWND) {}

}  // namespace qdrl

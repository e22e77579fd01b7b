#include "UpdateCheck.h"

namespace qdrl {

// The update description file reader, the HTTP client and the wizard are not built
// yet: until they are, no start finds an update and the command shows nothing.
void RunStartupUpdateCheck() {}

void RunUpdateWizard(HWND) {}

}  // namespace qdrl

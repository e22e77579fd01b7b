// A wizard of two demonstration pages on the product's own page templates, for the
// Wine tests of the dialog framework (the update pages, the only product pages, are
// built separately).
#pragma once

namespace qdrltest {

// Shows the wizard, owned by a hidden window, and prints "result N" when it ends. The
// templates are read from qdrlgui.exe next to the helper. Returns the exit code.
int RunWizardDemo();

}  // namespace qdrltest

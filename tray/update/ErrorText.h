// Texts of error numbers, loaded from the string table once at start-up.
#pragma once

#include <string>

#include "ErrorNumber.h"

namespace qdrl {

// Loads every category's texts in index order; a missing entry ends the process.
void LoadErrorTexts();

// The text of `error`: empty for 0 (cancelled) and for unknown numbers.
const std::wstring& ErrorText(ErrorNumber error);

}  // namespace qdrl

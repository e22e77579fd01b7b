#include "ErrorText.h"

#include <unordered_map>

#include "../ProcessState.h"

namespace qdrl {

namespace {

std::unordered_map<std::uint16_t, std::wstring>& LoadedTexts() {
  static std::unordered_map<std::uint16_t, std::wstring> texts;
  return texts;
}

void Load(std::uint16_t id) { LoadedTexts()[id] = LoadText(id); }

}  // namespace

void LoadErrorTexts() {
  Load(*ErrorTextId(kErrorNotAvailable));
  for (const auto& category : ErrorCategories()) {
    for (auto id : category.ids) Load(id);
  }
}

const std::wstring& ErrorText(ErrorNumber error) {
  static const std::wstring empty;
  const auto id = ErrorTextId(error);
  if (!id) return empty;
  const auto text = LoadedTexts().find(*id);
  return text == LoadedTexts().end() ? empty : text->second;
}

}  // namespace qdrl

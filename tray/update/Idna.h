// Host names in the ASCII form that name look-up and certificates use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qdrl {

// IDNA ToASCII (GNU libidn, unassigned code points allowed) of a UTF-16 host name,
// surrogate pairs combined first; none on a lone surrogate, a conversion error or a
// result outside ASCII. "bücher.example" becomes "xn--bcher-kva.example".
std::optional<std::string> IdnaToAscii(std::u16string_view host);

}  // namespace qdrl

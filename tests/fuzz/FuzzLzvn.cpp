// The LZVN decoder over arbitrary streams: never past its output, and the same bytes
// whatever room it is given once they fit.
#include "FuzzDecompress.h"
#include "Lzvn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzdecompress::Differential(
      [](const uint8_t* in, size_t inLength, uint8_t* out, size_t capacity, size_t* produced) {
        return LzvnDecode(in, inLength, out, 0, capacity, produced);
      },
      data, size, 0x10000);
  return 0;
}

// The LZFSE decoder over arbitrary streams: never past its output, and the same bytes
// whatever room it is given once they fit.
#include "FuzzDecompress.h"
#include "Lzfse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzdecompress::Differential(LzfseDecode, data, size, 0x40000);
  return 0;
}

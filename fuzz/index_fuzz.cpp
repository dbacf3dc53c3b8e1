// libFuzzer entry for FuzzIndex (fuzz_targets.h).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzIndex(data, size);
  return 0;
}

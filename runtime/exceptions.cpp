#include "runtime/exceptions.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, args);
  va_end(args);
  std::string result;
  if (n < 0) {
    va_end(copy);
    return fmt;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    result.assign(small, static_cast<size_t>(n));
  } else {
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, copy);
    result.assign(big.data(), static_cast<size_t>(n));
  }
  va_end(copy);
  return result;
}

void ListIndexError(int index) { throw EListError(Format("List index out of bounds (%d)", index)); }

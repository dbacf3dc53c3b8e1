#pragma once
// The message of the exception an action raises, for tests that compare
// whole message texts.

#include <functional>
#include <string>

#include "runtime/exceptions.h"

// The message of the Exception action raises; "(no error)" when it raises
// none.
inline std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

#pragma once
// The exception classes every layer raises. Each carries its formatted
// English message; Message() gives it back. EAbort ends an operation
// silently: handlers that show messages must let it pass without a box.

#include <exception>
#include <string>

// printf-style formatting of a message text ("%s", "%d", "%g", "%02d", ...).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// The silent abort: ends the current operation without a message.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

// Text that does not convert to a number, date or time.
class EConvertError : public Exception {
  using Exception::Exception;
};

// An index outside a list: "List index out of bounds (%d)".
class EListError : public Exception {
  using Exception::Exception;
};

// A variant value that cannot be converted to the type asked for.
class EVariantError : public Exception {
  using Exception::Exception;
};

// Stream read or write failures.
class EStreamError : public Exception {
  using Exception::Exception;
};

// Failures of the record-set framework.
class EDatabaseError : public Exception {
  using Exception::Exception;
};

// Failures of the table engine; record sets see them as database errors.
class EDbfError : public EDatabaseError {
  using EDatabaseError::EDatabaseError;
};

// Expression compile errors. Position is the 1-based place in the
// expression text where the fault was found, 0 when no one place is.
class EParserException : public Exception {
 public:
  explicit EParserException(std::string message, int position = 0)
      : Exception(std::move(message)), position_(position) {}
  int Position() const { return position_; }
  void SetPosition(int position) { position_ = position; }

 private:
  int position_;
};

// Raises EListError for an index outside [0, count).
[[noreturn]] void ListIndexError(int index);

#pragma once
// The exception classes shared by every room: a message text and a class name.

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  // The exception's class name, as written to logs.
  virtual const char* ClassName() const { return "Exception"; }

 private:
  std::string message_;
};

// The silent exception: no handler reports it.
class EAbort : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EAbort"; }
};

class EListError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EListError"; }
};

// A failed call to the operating system or the service manager.
class EOSError : public Exception {
 public:
  EOSError(int code, std::string message) : Exception(std::move(message)), code_(code) {}
  int ErrorCode() const { return code_; }
  const char* ClassName() const override { return "EOSError"; }

 private:
  int code_;
};

// printf-style formatting into a std::string.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The operating system's message text for an error code, with trailing control characters,
// blanks and full stops cut off. May be empty.
std::string SystemErrorText(int code);

// Cuts what SystemErrorText cuts from a raw message (at most 255 characters are kept first).
std::string CutErrorText(std::string text);

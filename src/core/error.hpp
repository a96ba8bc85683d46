// The one error type of the core. Every failure the core reports to a caller is an Error
// with a kind (what sort of failure, which a binding maps to its own error types) and a
// message in words for the user. Specific errors derive from it to carry more detail.
#pragma once

#include <stdexcept>
#include <string>

namespace vestrel {

enum class ErrorKind {
    Value,         // an argument the operation cannot take (a bad name, a value out of range)
    Runtime,       // the operation failed on valid input (a library or a child process failed)
    FileNotFound,  // a file or folder named by the caller does not exist
    Os,            // the operating system refused (permissions, locks)
    Overflow,      // a number too large for the result
    ZeroDivision,  // a division by zero in the caller's numbers
};

class Error : public std::runtime_error {
  public:
    Error(ErrorKind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const noexcept { return kind_; }

  private:
    ErrorKind kind_;
};

}  // namespace vestrel

// Compile errors as values.
//
// Every failure to compile a pattern is one Error: a kind, a message and the
// byte offset in the UTF-8 pattern where it was found. The engine never
// throws across its API; fallible calls return Result<T>. The kind names and
// their order are part of the interface, so they live in one table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kordal {

enum class ErrorKind : uint8_t {
  Syntax,
  Escape,
  Class,
  Repeat,
  GroupRef,
  Flags,
  Property,
  Limit,
  TimedOut,
};

const char* error_kind_name(ErrorKind kind);

struct Error {
  std::optional<size_t> position;
  ErrorKind kind = ErrorKind::Syntax;
  std::string message;  // empty for TimedOut

  // The message, or "regex timed out" for TimedOut.
  std::string text() const;
};

// A value or the Error that prevented it.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error err) : v_(std::move(err)) {}
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  Error& error() { return std::get<1>(v_); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace kordal

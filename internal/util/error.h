// Error values that carry the chain of wrapped causes.
//
// An Error is either ok (no failure) or a failure with a message. Wrapping puts
// context in front, "outer: inner: cause", so the text printed once by the
// dispatcher reads from the outermost step to the root cause. The chain is kept
// so callers can still ask for the operating-system errno at its root.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace util {

class [[nodiscard]] Error {
 public:
  // The ok value.
  Error() = default;

  // A new failure with exactly this text and no cause.
  static Error Msg(std::string text);
  // An operating-system failure on a path: "op path: reason" (reason from
  // errno, lower case as the kernel's error names read). The path is shown
  // even when empty ("mkdir : no such file or directory"), so a path that
  // went missing upstream shows as one. The errno is kept for callers that
  // branch on it.
  static Error Errno(std::string_view op, std::string_view path, int err);
  // An operating-system failure of a call that takes no path: "op: reason",
  // or the bare reason ("invalid argument") for an empty op, for a message
  // that names the operation itself.
  static Error Sys(std::string_view op, int err);
  // A failure whose text is given whole but which keeps `cause` as its cause;
  // for formats where the cause does not stand at the end.
  static Error WithCause(std::string text, const Error& cause);

  bool ok() const { return rep_ == nullptr; }

  // The whole chain's text; empty for ok.
  const std::string& message() const;

  // "context: message", keeping this error as the cause. Wrapping ok is ok.
  Error Wrap(std::string_view context) const;

  // The errno of the innermost operating-system error in the chain, 0 if none.
  int sys_errno() const;
  // True when some error in the chain came from the operating system with `err`.
  bool Is(int err) const { return sys_errno() == err && err != 0; }

  // The direct cause, or ok.
  Error cause() const;

  // Drops the error on purpose (for cleanup paths whose failure is only logged).
  void IgnoreError() const {}

 private:
  struct Rep {
    std::string text;
    int err = 0;
    std::shared_ptr<const Rep> cause;
  };
  explicit Error(std::shared_ptr<const Rep> rep) : rep_(std::move(rep)) {}
  std::shared_ptr<const Rep> rep_;
};

// A value or an error, never both. Reading the value of an error aborts.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : error_(std::move(error)) {  // NOLINT
    if (error_.ok()) std::abort();
  }

  bool ok() const { return value_.has_value(); }
  const Error& error() const { return error_; }

  T& value() & { Check(); return *value_; }
  const T& value() const& { Check(); return *value_; }
  T&& value() && { Check(); return std::move(*value_); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  void Check() const {
    if (!value_.has_value()) std::abort();
  }
  std::optional<T> value_;
  Error error_;
};

// The text of an errno as the system's error names read: lower case first
// letter ("no such file or directory").
std::string ErrnoText(int err);

}  // namespace util

// Returns the error of `expr` from the enclosing function when it is not ok;
// a second argument is context put in front ("context: error").
#define ZOL_TRY(expr, ...)                                                   \
  do {                                                                       \
    ::util::Error zol_try_err_ = (expr);                                     \
    if (!zol_try_err_.ok()) return zol_try_err_ __VA_OPT__(.Wrap(__VA_ARGS__)); \
  } while (0)

// Evaluates `expr`, a Result<T>: returns its error from the enclosing function
// (with optional context in front, as ZOL_TRY), else moves its value into
// `lhs`, which may declare a variable ("auto x") or name one.
#define ZOL_ASSIGN_OR_RETURN(lhs, expr, ...) \
  ZOL_ASSIGN_OR_RETURN_IMPL_(ZOL_CONCAT_(zol_result_, __LINE__), lhs, expr __VA_OPT__(, ) __VA_ARGS__)
#define ZOL_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr, ...)                    \
  auto tmp = (expr);                                                       \
  if (!tmp.ok()) return tmp.error() __VA_OPT__(.Wrap(__VA_ARGS__));        \
  lhs = std::move(tmp).value()
#define ZOL_CONCAT_(a, b) ZOL_CONCAT_INNER_(a, b)
#define ZOL_CONCAT_INNER_(a, b) a##b

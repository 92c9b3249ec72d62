// Status and Result: how core operations report failure without exceptions.
//
// A Status is a single pointer; success is the null pointer and costs nothing to pass around.
// An operating-system error keeps its errno so the binding can pick the matching OSError
// subclass; its message is the system's description followed by " (os error N)".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tarnix {

enum class StatusCode : uint8_t {
  kOk = 0,
  kIoError,          // an operating-system call failed; errno() says which error
  kInvalidData,      // stored bytes could not be decoded
  kInvalidArgument,  // the caller's input is refused (ValueError at the host boundary)
  kInternal,         // a fault with no better class (RuntimeError at the host boundary)
};

class [[nodiscard]] Status {
 public:
  Status() noexcept = default;
  Status(const Status& other) : state_(other.state_ ? new State(*other.state_) : nullptr) {}
  Status(Status&&) noexcept = default;
  Status& operator=(const Status& other) {
    if (this != &other) state_.reset(other.state_ ? new State(*other.state_) : nullptr);
    return *this;
  }
  Status& operator=(Status&&) noexcept = default;

  static Status ok_status() { return Status(); }
  // "<strerror(err)> (os error <err>)".
  static Status io_error(int err);
  // An OS error class with a message of our own (for example EBUSY for a refused writer).
  static Status io_error(int err, std::string message);
  static Status invalid_data(std::string message);
  static Status invalid_argument(std::string message);
  static Status internal(std::string message);

  bool ok() const { return state_ == nullptr; }
  StatusCode code() const { return state_ ? state_->code : StatusCode::kOk; }
  int os_errno() const { return state_ ? state_->err : 0; }
  const std::string& message() const;

  // Prefixes the message with context ("opening wal.bin: ..."), keeping code and errno.
  Status with_context(std::string_view context) const;

  // Some calls report every operating-system error as the base OSError rather than the
  // subclass its errno would pick; such a status says so.
  Status as_plain_os_error() const;
  bool plain_os_error() const { return state_ && state_->plain; }
  // For calls whose every failure is the base OSError, whatever its cause: faults without an
  // errno of their own become OS errors too. An invalid argument stays what it is.
  Status as_os_error() const;

 private:
  struct State {
    StatusCode code;
    int err;
    std::string message;
    bool plain = false;
  };
  Status(StatusCode code, int err, std::string message)
      : state_(new State{code, err, std::move(message)}) {}

  std::unique_ptr<State> state_;
};

// The text the system gives for an errno, followed by " (os error N)".
std::string os_error_text(int err);

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}  // NOLINT: implicit by design

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  Status take_status() { return std::move(status_); }

  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace tarnix

#define TARNIX_CONCAT_INNER(a, b) a##b
#define TARNIX_CONCAT(a, b) TARNIX_CONCAT_INNER(a, b)

#define TARNIX_RETURN_IF_ERROR(expr)           \
  do {                                         \
    ::tarnix::Status _tarnix_status = (expr);  \
    if (!_tarnix_status.ok()) return _tarnix_status; \
  } while (0)

#define TARNIX_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                 \
  if (!tmp.ok()) return tmp.take_status();           \
  lhs = std::move(tmp).value()

#define TARNIX_ASSIGN_OR_RETURN(lhs, expr) \
  TARNIX_ASSIGN_OR_RETURN_IMPL(TARNIX_CONCAT(_tarnix_result_, __LINE__), lhs, expr)

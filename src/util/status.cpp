#include "util/status.h"

#include <cstring>

namespace tarnix {

std::string os_error_text(int err) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

Status Status::io_error(int err) { return Status(StatusCode::kIoError, err, os_error_text(err)); }

Status Status::io_error(int err, std::string message) {
  return Status(StatusCode::kIoError, err, std::move(message));
}

Status Status::invalid_data(std::string message) {
  return Status(StatusCode::kInvalidData, 0, std::move(message));
}

Status Status::invalid_argument(std::string message) {
  return Status(StatusCode::kInvalidArgument, 0, std::move(message));
}

Status Status::internal(std::string message) {
  return Status(StatusCode::kInternal, 0, std::move(message));
}

const std::string& Status::message() const {
  static const std::string kEmpty;
  return state_ ? state_->message : kEmpty;
}

Status Status::with_context(std::string_view context) const {
  if (ok()) return Status();
  Status s(state_->code, state_->err, std::string(context) + ": " + state_->message);
  s.state_->plain = state_->plain;
  return s;
}

Status Status::as_plain_os_error() const {
  Status s(*this);
  if (s.state_) s.state_->plain = true;
  return s;
}

Status Status::as_os_error() const {
  if (!state_ || state_->code == StatusCode::kInvalidArgument) return *this;
  Status s(*this);
  if (s.state_->code == StatusCode::kInternal) s.state_->code = StatusCode::kIoError;
  s.state_->plain = true;
  return s;
}

}  // namespace tarnix

#include "internal/util/error.h"

#include <cctype>
#include <cstring>

namespace util {

namespace {
const std::string kEmpty;
}

Error Error::Msg(std::string text) {
  auto rep = std::make_shared<Rep>();
  rep->text = std::move(text);
  return Error(std::move(rep));
}

Error Error::Errno(std::string_view op, std::string_view path, int err) {
  auto rep = std::make_shared<Rep>();
  rep->text.assign(op);
  rep->text += ' ';
  rep->text += path;
  rep->text += ": ";
  rep->text += ErrnoText(err);
  rep->err = err;
  return Error(std::move(rep));
}

Error Error::Sys(std::string_view op, int err) {
  auto rep = std::make_shared<Rep>();
  rep->text.assign(op);
  if (!rep->text.empty()) rep->text += ": ";
  rep->text += ErrnoText(err);
  rep->err = err;
  return Error(std::move(rep));
}

Error Error::WithCause(std::string text, const Error& cause) {
  auto rep = std::make_shared<Rep>();
  rep->text = std::move(text);
  rep->cause = cause.rep_;
  return Error(std::move(rep));
}

const std::string& Error::message() const { return rep_ ? rep_->text : kEmpty; }

Error Error::Wrap(std::string_view context) const {
  if (ok()) return *this;
  auto rep = std::make_shared<Rep>();
  rep->text.assign(context);
  rep->text += ": ";
  rep->text += rep_->text;
  rep->cause = rep_;
  return Error(std::move(rep));
}

int Error::sys_errno() const {
  for (const Rep* r = rep_.get(); r != nullptr; r = r->cause.get()) {
    if (r->err != 0) return r->err;
  }
  return 0;
}

Error Error::cause() const { return rep_ && rep_->cause ? Error(rep_->cause) : Error(); }

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  std::string text = strerror_r(err, buf, sizeof buf);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace util

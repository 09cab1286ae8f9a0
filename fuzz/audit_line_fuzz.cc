// The audit record: whatever the names, versions and paths hold, it is one
// line of JSON whose fields read back as written (invalid UTF-8 as U+FFFD),
// so a hostile package name cannot forge or break a record.
#include "fuzz/fuzz_support.h"
#include "internal/util/audit.h"
#include "internal/util/json_reader.h"
#include "internal/util/utf8.h"

namespace {

// What the reader gives back for text the writer had to mend.
std::string Valid(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const util::DecodedRune r = util::DecodeRune(s.substr(i));
    out += r.invalid ? std::string_view("\xEF\xBF\xBD") : s.substr(i, r.width);
    i += r.width;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Fields cut at NUL bytes, in record order; the first byte chooses
  // whether there is an exit code.
  std::string_view in = fuzz::Bytes(data, size);
  util::auditEvent ev;
  if (!in.empty()) {
    if (in[0] & 1) ev.ExitCode = static_cast<int8_t>(in[0]);
    in.remove_prefix(1);
  }
  std::string* fields[] = {&ev.Event, &ev.Timestamp, &ev.User, &ev.PkgName, &ev.Version, &ev.InstallPath,
                           &ev.RuntimeID};
  const char* keys[] = {"event", "timestamp", "user", "pkg_name", "version", "install_path", "runtime_id"};
  for (std::string* f : fields) {
    const size_t cut = in.find('\0');
    *f = std::string(in.substr(0, cut));
    in.remove_prefix(cut == std::string_view::npos ? in.size() : cut + 1);
  }
  const std::string line = util::encodeAuditEvent(ev);
  if (line.empty() || line.back() != '\n') fuzz::Fail("record does not end its line");
  if (line.find_first_of("\n\r") != line.size() - 1) fuzz::Fail("record spans lines: " + line);
  if (line.find("\xE2\x80\xA8") != std::string::npos || line.find("\xE2\x80\xA9") != std::string::npos) {
    fuzz::Fail("raw line separator in record");
  }
  auto doc = util::json::Parse(std::string_view(line).substr(0, line.size() - 1));
  if (!doc.ok() || doc->type != util::json::Type::kObject) fuzz::Fail("record is no JSON object: " + line);
  for (size_t k = 0; k < std::size(fields); ++k) {
    const util::json::Value* v = doc->Get(keys[k]);
    if (fields[k]->empty() && k >= 3) {  // event, timestamp and user are always written
      if (v != nullptr) fuzz::Fail(std::string("empty field written: ") + keys[k]);
      continue;
    }
    if (v == nullptr || v->type != util::json::Type::kString || v->text != Valid(*fields[k])) {
      fuzz::Fail(std::string("field reads back otherwise: ") + keys[k] + " in " + line);
    }
  }
  const util::json::Value* code = doc->Get("exit_code");
  if (ev.ExitCode.has_value() != (code != nullptr)) fuzz::Fail("exit code written or dropped wrongly");
  if (code != nullptr && code->text != std::to_string(*ev.ExitCode)) fuzz::Fail("exit code reads back otherwise");
  return 0;
}

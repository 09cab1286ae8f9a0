#include "internal/util/json_writer.h"

#include "internal/util/utf8.h"

namespace util {

namespace {
constexpr char kHex[] = "0123456789abcdef";
}

void AppendJsonString(std::string* out, std::string_view s) {
  out->push_back('"');
  size_t start = 0;  // first byte not yet copied
  size_t i = 0;
  auto flush = [&](size_t end) { out->append(s.substr(start, end - start)); };
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if (b >= 0x20 && b != '"' && b != '\\' && b != '<' && b != '>' && b != '&') {
        ++i;
        continue;
      }
      flush(i);
      switch (b) {
        case '"': out->append("\\\""); break;
        case '\\': out->append("\\\\"); break;
        case '\n': out->append("\\n"); break;
        case '\r': out->append("\\r"); break;
        case '\t': out->append("\\t"); break;
        default:
          out->append("\\u00");
          out->push_back(kHex[b >> 4]);
          out->push_back(kHex[b & 0xf]);
      }
      start = ++i;
      continue;
    }
    DecodedRune r = DecodeRune(s.substr(i));
    if (r.invalid) {
      flush(i);
      out->append("\\ufffd");
      i += r.width;
      start = i;
      continue;
    }
    if (r.rune == 0x2028 || r.rune == 0x2029) {
      flush(i);
      out->append(r.rune == 0x2028 ? "\\u2028" : "\\u2029");
      i += r.width;
      start = i;
      continue;
    }
    i += r.width;
  }
  flush(i);
  out->push_back('"');
}

std::string JsonQuote(std::string_view s) {
  std::string out;
  AppendJsonString(&out, s);
  return out;
}

void JsonWriter::Newline(size_t depth) {
  out_.push_back('\n');
  for (size_t i = 0; i < depth; ++i) out_.append(indent_);
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (stack_.empty()) return;
  Level& level = stack_.back();
  if (!level.empty) out_.push_back(',');
  level.empty = false;
  if (!indent_.empty()) Newline(stack_.size());
}

void JsonWriter::Close(char bracket) {
  bool was_empty = stack_.back().empty;
  stack_.pop_back();
  if (!was_empty && !indent_.empty()) Newline(stack_.size());
  out_.push_back(bracket);
}

void JsonWriter::BeginObject() {
  BeforeValue();
  out_.push_back('{');
  stack_.push_back({true});
}

void JsonWriter::EndObject() { Close('}'); }

void JsonWriter::BeginArray() {
  BeforeValue();
  out_.push_back('[');
  stack_.push_back({false});
}

void JsonWriter::EndArray() { Close(']'); }

void JsonWriter::Key(std::string_view key) {
  BeforeValue();
  AppendJsonString(&out_, key);
  out_.push_back(':');
  if (!indent_.empty()) out_.push_back(' ');
  after_key_ = true;
}

void JsonWriter::String(std::string_view value) {
  BeforeValue();
  AppendJsonString(&out_, value);
}

void JsonWriter::Int(int64_t value) {
  BeforeValue();
  out_.append(std::to_string(value));
}

void JsonWriter::Uint(uint64_t value) {
  BeforeValue();
  out_.append(std::to_string(value));
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_.append(value ? "true" : "false");
}

void JsonWriter::Null() {
  BeforeValue();
  out_.append("null");
}

void JsonWriter::Field(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  BeginArray();
  for (const auto& v : values) String(v);
  EndArray();
}

}  // namespace util

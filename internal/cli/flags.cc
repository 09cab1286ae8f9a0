#include "internal/cli/flags.h"

#include <algorithm>

#include "internal/util/strings.h"

namespace cli {

namespace {

// The texts a boolean flag accepts after "=".
bool ParseBoolText(const std::string& s, bool* out) {
  static const char* const kTrue[] = {"1", "t", "T", "TRUE", "true", "True"};
  static const char* const kFalse[] = {"0", "f", "F", "FALSE", "false", "False"};
  for (const char* t : kTrue) {
    if (s == t) return *out = true, true;
  }
  for (const char* f : kFalse) {
    if (s == f) return *out = false, true;
  }
  return false;
}

}  // namespace

void FlagSet::BoolVar(bool* target, std::string name, bool def, std::string usage) {
  *target = def;
  Flag f;
  f.name = std::move(name);
  f.usage = std::move(usage);
  f.is_bool = true;
  f.bool_target = target;
  f.def_text = def ? "true" : "";
  flags_.push_back(std::move(f));
}

void FlagSet::StringVar(std::string* target, std::string name, std::string def, std::string usage) {
  *target = def;
  Flag f;
  f.name = std::move(name);
  f.usage = std::move(usage);
  f.text_target = target;
  f.def_text = std::move(def);
  flags_.push_back(std::move(f));
}

const FlagSet::Flag* FlagSet::Find(const std::string& name) const {
  for (const Flag& f : flags_) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

void FlagSet::Usage() const {
  if (usage_) {
    usage_();
    return;
  }
  std::fprintf(stderr, "Usage of %s:\n", name_.c_str());
  PrintDefaults();
}

void FlagSet::PrintDefaults() const {
  std::vector<const Flag*> sorted;
  for (const Flag& f : flags_) sorted.push_back(&f);
  std::sort(sorted.begin(), sorted.end(), [](const Flag* a, const Flag* b) { return a->name < b->name; });
  for (const Flag* f : sorted) {
    std::string line = "  -" + f->name;
    if (!f->is_bool) line += " string";
    line += "\n    \t";
    // A help text of several lines keeps its indent on each.
    for (char c : f->usage) {
      line += c;
      if (c == '\n') line += "    \t";
    }
    if (!f->def_text.empty()) line += f->is_bool ? " (default true)" : " (default " + util::Quote(f->def_text) + ")";
    line += '\n';
    std::fputs(line.c_str(), stderr);
  }
}

util::Error FlagSet::Fail(std::string message) const {
  std::fprintf(stderr, "%s\n", message.c_str());
  Usage();
  return util::Error::Msg(std::move(message));
}

util::Error FlagSet::Parse(const std::vector<std::string>& args) {
  args_.clear();
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    size_t dashes = arg[1] == '-' ? 2 : 1;
    std::string name = arg.substr(dashes);
    if (name.empty() || name[0] == '-' || name[0] == '=') return Fail("bad flag syntax: " + arg);
    bool has_value = false;
    std::string value;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      has_value = true;
    }
    const Flag* flag = Find(name);
    if (flag == nullptr) {
      if (name == "h" || name == "help") {
        Usage();
        return util::Error::Msg("flag: help requested");
      }
      return Fail("flag provided but not defined: -" + name);
    }
    if (flag->is_bool) {
      bool b = true;
      if (has_value && !ParseBoolText(value, &b)) {
        return Fail("invalid boolean value " + util::Quote(value) + " for -" + name + ": parse error");
      }
      *flag->bool_target = b;
      continue;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) return Fail("flag needs an argument: -" + name);
      value = args[++i];
    }
    *flag->text_target = value;
  }
  args_.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return util::Error();
}

}  // namespace cli

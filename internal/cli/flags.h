// The flag parser shared by the front ends that take flags (run, build,
// keygen, sign, verify).
//
// Syntax: "-name" or "--name"; a value after "=" or, for a text flag, as the
// next argument whatever it looks like; a boolean flag is set by its bare name
// and never consumes the next argument. Flags end at "--" (dropped), at "-"
// or at the first argument not beginning with "-"; everything from there on
// is positional and passed on unparsed. The last occurrence of a flag wins.
//
// A parse failure writes its message line and then the usage to standard error
// declared) writes only the usage. Parse returns the failure; the front end
// wraps it ("parse run flags: ...") for the dispatcher to print.
//
// Usage:
//   FlagSet fs("keygen");
//   std::string dir;
//   fs.StringVar(&dir, "dir", default_dir, "directory for the key pair");
//   if (auto err = fs.Parse(args); !err.ok()) return err.Wrap("parse keygen flags");
//   const Args& rest = fs.Args();
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "internal/util/error.h"

namespace cli {

class FlagSet {
 public:
  explicit FlagSet(std::string name) : name_(std::move(name)) {}
  FlagSet(const FlagSet&) = delete;
  FlagSet& operator=(const FlagSet&) = delete;

  // Declares a flag bound to `*target`, which is set to `def` at once. The
  // target must outlive Parse.
  void BoolVar(bool* target, std::string name, bool def, std::string usage);
  void StringVar(std::string* target, std::string name, std::string def, std::string usage);

  // Replaces the default usage printer (which writes PrintDefaults' listing
  // to standard error after "Usage of NAME:").
  void SetUsage(std::function<void()> usage) { usage_ = std::move(usage); }

  // Parses the arguments after the command word.
  util::Error Parse(const std::vector<std::string>& args);

  // The positional arguments after Parse, in order.
  const std::vector<std::string>& Args() const { return args_; }

  // Calls the usage printer in effect.
  void Usage() const;
  // The default listing of the declared flags, in name order, to standard error.
  void PrintDefaults() const;
  const std::string& name() const { return name_; }

 private:
  struct Flag {
    std::string name;
    std::string usage;
    bool is_bool = false;
    bool* bool_target = nullptr;
    std::string* text_target = nullptr;
    std::string def_text;  // the default as the listing shows it
  };
  const Flag* Find(const std::string& name) const;
  util::Error Fail(std::string message) const;

  std::string name_;
  std::vector<Flag> flags_;
  std::vector<std::string> args_;
  std::function<void()> usage_;
};

}  // namespace cli

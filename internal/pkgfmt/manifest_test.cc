#include "internal/pkgfmt/manifest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "internal/util/files.h"

namespace pkgfmt {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using ::testing::StartsWith;

std::string Golden(const std::string& name) {
  auto golden = util::ReadFile(std::string(ZOL_SOURCE_DIR) + "/internal/pkgfmt/testdata/" + name);
  EXPECT_TRUE(golden.ok()) << name;
  return golden.ok() ? *golden : std::string();
}

// Decodes without validating, for manifests the rules refuse.
Manifest DecodeOnly(std::string_view text) {
  Manifest m;
  auto doc = util::json::Parse(text);
  EXPECT_TRUE(doc.ok()) << doc.error().message();
  if (doc.ok()) {
    util::Error err = DecodeManifest(*doc, "", m);
    EXPECT_TRUE(err.ok()) << err.message();
  }
  return m;
}

// A valid application manifest with `extra` members appended at the top level.
std::string App(const std::string& extra = "") {
  return R"({"id": "a", "version": "1", "arch": "x86_64", "base": "b", "entry": {"command": "/app/x"})" +
         (extra.empty() ? "" : ", " + extra) + "}";
}

TEST(ManifestGolden, WritesWhatItReadsByteForByte) {
  for (const char* name : {"app_manifest.json", "full_manifest.json"}) {
    std::string golden = Golden(name);
    auto m = ParseManifest(golden);
    ASSERT_TRUE(m.ok()) << name << ": " << m.error().message();
    EXPECT_EQ(MarshalManifest(*m), golden) << name;
  }
  // The fallback manifest fails validation but must still survive a round
  // trip with its nulls.
  std::string fallback = Golden("fallback_manifest.json");
  EXPECT_EQ(MarshalManifest(DecodeOnly(fallback)), fallback);
}

TEST(ManifestGolden, NormalisesOrderCaseDuplicatesAndEscapes) {
  // Compact, keys out of order and in other letter cases, unknown keys,
  // env unsorted, a description split over two duplicate keys, raw "<&>".
  const char* messy =
      R"({"BUILD": {"Source_Type": "deb", "original_package": "/srv/hello_2.10-3_amd64.deb", "pip_bundled": true},
          "permissions": {"filesystem": {"readonly": ["/etc/resolv.conf"], "writable": ["/tmp", "/var/tmp"]},
                          "network": true, "IPC": true, "Shm": true, "extra": [1, {"x": null}]},
          "runtime": {"env": {"PYTHONPATH": "/app/site-packages:/app/lib/python3/site-packages",
                              "PATH": "/app/bin:/app/site-packages/bin:/usr/local/bin:/usr/bin:/bin",
                              "LD_LIBRARY_PATH": "/app/lib:/usr/lib:/usr/lib64"},
                      "distro": "calderim", "version": "ubuntu24.04"},
          "Id": "com.calderim.hello", "name": "hello", "version": "2.10-3", "arch": "x86_64",
          "base": "ubuntu24.04", "kind": "cli", "description": "old", "unknown": "ignored",
          "entry": {"command": "/app/bin/hello", "args": []},
          "depends": {"runtimes": [], "libraries": []},
          "DESCRIPTION": "Hello <world> & more", "lifecycle": null, "services": []})";
  auto m = ParseManifest(messy);
  ASSERT_TRUE(m.ok()) << m.error().message();
  EXPECT_EQ(MarshalManifest(*m), Golden("app_manifest.json"));
}

TEST(ManifestWriter, LifecycleAndServicesOmission) {
  Manifest m = DecodeOnly(App());
  std::string no_lifecycle = MarshalManifest(m);
  EXPECT_EQ(no_lifecycle.find("lifecycle"), std::string::npos);
  EXPECT_EQ(no_lifecycle.find("services"), std::string::npos);
  m.Lifecycle.emplace();
  std::string text = MarshalManifest(m);
  EXPECT_NE(text.find("\n  },\n  \"lifecycle\": {}\n}"), std::string::npos) << text;
  EXPECT_NE(text.back(), '\n');
}

TEST(ManifestDecode, KeysAndMergingRules) {
  struct Case {
    const char* name;
    std::string doc;
    std::function<void(const Manifest&)> check;
  } cases[] = {
      {"letter case of keys is ignored",
       R"({"ID": "x", "VERSION": "1", "Arch": "aarch64", "bAsE": "b", "Kind": "base", "Permissions": {"NETWORK": true}})",
       [](const Manifest& m) {
         EXPECT_EQ(m.ID, "x");
         EXPECT_EQ(m.Arch, "aarch64");
         EXPECT_EQ(m.Kind, "base");
         EXPECT_TRUE(m.Permissions.Network);
       }},
      {"simple folding: U+017F is s, U+212A is k",
       App(R"("\u017Figned": true, "\u212Aind": "base", "permissions": {"\u017Fhm": true}, "checkſum": "c")"),
       [](const Manifest& m) {
         EXPECT_TRUE(m.Signed);
         EXPECT_EQ(m.Kind, "base");
         EXPECT_TRUE(m.Permissions.Shm);
         EXPECT_EQ(m.Checksum, "c");
       }},
      {"ID then id: the later wins", App(R"("ID": "first", "id": "second")"),
       [](const Manifest& m) { EXPECT_EQ(m.ID, "second"); }},
      {"id then ID: the later wins", App(R"("id": "first", "ID": "second")"),
       [](const Manifest& m) { EXPECT_EQ(m.ID, "second"); }},
      {"a later object merges into the earlier one",
       App(R"("entry": {"args": ["a"]}, "permissions": {"network": true, "filesystem": {"readonly": ["/r"]}},
              "Permissions": {"ipc": true, "filesystem": {"writable": ["/w"]}}, "runtime": {"env": {"A": "1"}},
              "runtime": {"env": {"B": "2"}, "distro": "d"})"),
       [](const Manifest& m) {
         EXPECT_EQ(m.Entry.Command, "/app/x");
         EXPECT_THAT(m.Entry.Args, ElementsAre("a"));
         EXPECT_TRUE(m.Permissions.Network);
         EXPECT_TRUE(m.Permissions.IPC);
         EXPECT_THAT(m.Permissions.Filesystem.Readonly, ElementsAre("/r"));
         EXPECT_THAT(m.Permissions.Filesystem.Writable, ElementsAre("/w"));
         EXPECT_THAT(m.Runtime.Env, ElementsAre(Pair("A", "1"), Pair("B", "2")));
         EXPECT_EQ(m.Runtime.Distro, "d");
       }},
      {"a later list replaces the earlier one",
       App(R"("depends": {"runtimes": ["a", "b"]}, "depends": {"runtimes": ["c"]},
              "services": [{"name": "s1"}, {"name": "s2"}], "services": [{"command": "c"}])"),
       [](const Manifest& m) {
         EXPECT_THAT(m.Depends.Runtimes, ElementsAre("c"));
         ASSERT_EQ(m.Services.size(), 1u);
         EXPECT_EQ(m.Services[0].Name, "");
         EXPECT_EQ(m.Services[0].Command, "c");
       }},
      {"null empties lists and maps and leaves scalars and records",
       App(R"("entry": {"args": ["a"]}, "entry": {"args": null}, "name": "n", "name": null,
              "signed": true, "signed": null, "format_version": 3, "format_version": null,
              "runtime": {"env": {"A": "1"}}, "runtime": {"env": null}, "permissions": {"network": true},
              "permissions": null, "services": [{}], "services": null)"),
       [](const Manifest& m) {
         EXPECT_TRUE(m.Entry.Args.is_null());
         EXPECT_EQ(m.Entry.Command, "/app/x");
         EXPECT_EQ(m.Name, "n");
         EXPECT_TRUE(m.Signed);
         EXPECT_EQ(m.FormatVersion, 3);
         EXPECT_TRUE(m.Runtime.Env.is_null());
         EXPECT_TRUE(m.Permissions.Network);
         EXPECT_TRUE(m.Services.empty());
       }},
      {"an empty list is not null", App(R"("depends": {"runtimes": [], "libraries": null})"),
       [](const Manifest& m) {
         EXPECT_FALSE(m.Depends.Runtimes.is_null());
         EXPECT_TRUE(m.Depends.Libraries.is_null());
         EXPECT_TRUE(m.Permissions.Filesystem.Readonly.is_null());
       }},
      {"lifecycle absent", App(), [](const Manifest& m) { EXPECT_FALSE(m.Lifecycle.has_value()); }},
      {"lifecycle null after an object", App(R"("lifecycle": {"install": "i"}, "lifecycle": null)"),
       [](const Manifest& m) { EXPECT_FALSE(m.Lifecycle.has_value()); }},
      {"lifecycle empty object", App(R"("lifecycle": {})"),
       [](const Manifest& m) {
         ASSERT_TRUE(m.Lifecycle.has_value());
         EXPECT_EQ(m.Lifecycle->Install, "");
         EXPECT_EQ(m.Lifecycle->Uninstall, "");
       }},
      {"lifecycle objects merge", App(R"("lifecycle": {"install": "i"}, "LIFECYCLE": {"uninstall": "u"})"),
       [](const Manifest& m) {
         ASSERT_TRUE(m.Lifecycle.has_value());
         EXPECT_EQ(m.Lifecycle->Install, "i");
         EXPECT_EQ(m.Lifecycle->Uninstall, "u");
       }},
      {"unknown keys at every level are ignored",
       App(R"("x": {"id": 5}, "entry": {"nope": [1], "command": "/app/y"}, "runtime": {"deep": {"a": [{}]}},
              "permissions": {"filesystem": {"other": true}}, "services": [{"port": 80, "name": "w"}])"),
       [](const Manifest& m) {
         EXPECT_EQ(m.ID, "a");
         EXPECT_EQ(m.Entry.Command, "/app/y");
         ASSERT_EQ(m.Services.size(), 1u);
         EXPECT_EQ(m.Services[0].Name, "w");
       }},
      {"integers at the int64 edges",
       App(R"("format_version": 9223372036854775807, "build_timestamp": -9223372036854775808)"),
       [](const Manifest& m) {
         EXPECT_EQ(m.FormatVersion, INT64_MAX);
         EXPECT_EQ(m.BuildTimestamp, INT64_MIN);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = ParseManifest(c.doc);
    ASSERT_TRUE(m.ok()) << m.error().message();
    c.check(*m);
  }
}

TEST(ManifestDecode, WrongTypesFailTheWholeParse) {
  struct Case {
    std::string doc;
    const char* message;
  } cases[] = {
      {App(R"("format_version": "1")"),
       "json: cannot unmarshal string into field Manifest.format_version of type int64"},
      {App(R"("format_version": 1.5)"),
       "json: cannot unmarshal number 1.5 into field Manifest.format_version of type int64"},
      {App(R"("build_timestamp": 2.0)"),
       "json: cannot unmarshal number 2.0 into field Manifest.build_timestamp of type int64"},
      {App(R"("build_timestamp": 1e3)"),
       "json: cannot unmarshal number 1e3 into field Manifest.build_timestamp of type int64"},
      {App(R"("format_version": 9223372036854775808)"),
       "json: cannot unmarshal number 9223372036854775808 into field Manifest.format_version of type int64"},
      {App(R"("name": 5)"), "json: cannot unmarshal number into field Manifest.name of type string"},
      {App(R"("signed": "true")"), "json: cannot unmarshal string into field Manifest.signed of type bool"},
      {App(R"("entry": ["/app/x"])"), "json: cannot unmarshal array into field Manifest.entry of type Entry"},
      {App(R"("entry": {"args": "x"})"),
       "json: cannot unmarshal string into field Manifest.entry.args of type []string"},
      {App(R"("entry": {"args": {}})"),
       "json: cannot unmarshal object into field Manifest.entry.args of type []string"},
      {App(R"("depends": {"runtimes": ["a", 1]})"),
       "json: cannot unmarshal number into field Manifest.depends.runtimes of type string"},
      {App(R"("runtime": {"env": {"PATH": 1}})"),
       "json: cannot unmarshal number into field Manifest.runtime.env of type string"},
      {App(R"("runtime": {"env": ["PATH"]})"),
       "json: cannot unmarshal array into field Manifest.runtime.env of type map[string]string"},
      {App(R"("permissions": {"filesystem": {"writable": [true]}})"),
       "json: cannot unmarshal bool into field Manifest.permissions.filesystem.writable of type string"},
      {App(R"("lifecycle": "x")"), "json: cannot unmarshal string into field Manifest.lifecycle of type Lifecycle"},
      {App(R"("services": {})"), "json: cannot unmarshal object into field Manifest.services of type []Service"},
      {App(R"("services": [{"enabled": 1}])"),
       "json: cannot unmarshal number into field Manifest.services.enabled of type bool"},
      {"[]", "json: cannot unmarshal array into value of type Manifest"},
      {"\"manifest\"", "json: cannot unmarshal string into value of type Manifest"},
      // The bad key comes after keys that would have been good; it is never consulted.
      {App(R"("id": "ok", "checksum": false)"),
       "json: cannot unmarshal bool into field Manifest.checksum of type string"},
  };
  for (const Case& c : cases) {
    auto m = ParseManifest(c.doc);
    ASSERT_FALSE(m.ok()) << c.doc;
    EXPECT_EQ(m.error().message(), c.message) << c.doc;
  }
}

TEST(ManifestDecode, MalformedDocumentsAreDecodeErrors) {
  for (const std::string& doc : {std::string(""), std::string(" "), App() + " x", App() + App(),
                                std::string("{\"id\": \"a\""), std::string("nul")}) {
    auto m = ParseManifest(doc);
    ASSERT_FALSE(m.ok()) << doc;
    EXPECT_THAT(m.error().message(), StartsWith("json: ")) << doc;
  }
  EXPECT_TRUE(ParseManifest(" \t\r\n" + App() + " \n\t").ok());
}

TEST(ManifestValidate, FirstFailingRuleWins) {
  struct Case {
    std::string doc;
    const char* message;  // empty: valid
  } cases[] = {
      {"null", "manifest error: id: required field is missing"},
      {R"({"other": 1, "ID2": "x"})", "manifest error: id: required field is missing"},
      {R"({"id": "", "arch": "bad"})", "manifest error: id: required field is missing"},
      {R"({"id": "a", "arch": "x86_64"})", "manifest error: version: required field is missing"},
      {R"({"id": "a", "version": "1", "base": "b", "entry": {"command": "/x"}})",
       "manifest error: arch: invalid architecture: "},
      {R"({"id": "a", "version": "1", "arch": "X86_64"})", "manifest error: arch: invalid architecture: X86_64"},
      {R"({"id": "a", "version": "1", "arch": "amd64"})", "manifest error: arch: invalid architecture: amd64"},
      {R"({"id": "a", "version": "1", "arch": "arm64"})", "manifest error: arch: invalid architecture: arm64"},
      {R"({"id": "a", "version": "1", "arch": "aarch64 "})",
       "manifest error: arch: invalid architecture: aarch64 "},
      {R"({"id": "a", "version": "1", "arch": "aarch64"})", "manifest error: base: required field is missing"},
      {R"({"id": "a", "version": "1", "arch": "aarch64", "base": "b"})",
       "manifest error: entry.command: required field is missing"},
      {R"({"id": "a", "version": "1", "arch": "aarch64", "base": "b", "kind": "Base"})",
       "manifest error: entry.command: required field is missing"},
      {R"({"id": "a", "version": "1", "arch": "aarch64", "base": "b", "kind": "base"})", ""},
      {R"({"id": " ", "version": " ", "arch": "x86_64", "base": " ", "entry": {"command": " "}})", ""},
      {App(), ""},  // no "name"
  };
  for (const Case& c : cases) {
    auto m = ParseManifest(c.doc);
    if (*c.message == '\0') {
      EXPECT_TRUE(m.ok()) << c.doc << ": " << m.error().message();
    } else {
      ASSERT_FALSE(m.ok()) << c.doc;
      EXPECT_EQ(m.error().message(), c.message) << c.doc;
    }
  }
  EXPECT_EQ(ErrMissingField("entry.command").Error(), "manifest error: entry.command: required field is missing");
  EXPECT_EQ(ErrInvalidArch("i386").Field, "arch");
  EXPECT_EQ(ErrInvalidArch("i386").Reason, "invalid architecture: i386");
}

}  // namespace
}  // namespace pkgfmt

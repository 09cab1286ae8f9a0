// "zol-cli list" over a registry of RECORDS applications (default 10,000),
// beside "zol-cli version", the start-up that every command pays. BENCH_RUNS
// runs each (default 20), taken in turn.
//
//   list_bench [ZOL_BIN] [RECORDS]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "bench/measure.h"
#include "internal/util/files.h"
#include "internal/util/process.h"

int main(int argc, char** argv) {
  std::string zol = argc > 1 ? argv[1] : (std::getenv("ZOL_BIN") ? std::getenv("ZOL_BIN") : "./build/zol-cli");
  const int records = argc > 2 ? std::atoi(argv[2]) : 10000;
  const int runs = bench::Runs(20);
  std::optional<util::TempDir> owned;
  std::string work = bench::WorkDir(nullptr, &owned);
  if (work.empty()) return 1;
  (void)util::MkdirAll(work + "/db", 0755);
  (void)util::MkdirAll(work + "/tmp", 0700);

  // The registry as install writes it: indented, every key, a zone offset.
  std::string text = "[";
  for (int i = 0; i < records; ++i) {
    char id[64];
    std::snprintf(id, sizeof id, "com.calderim.app%05d", i);
    std::string version = "1.2." + std::to_string(i % 50);
    text += i == 0 ? "\n" : ",\n";
    text += std::string("  {\n    \"id\": \"") + id + "\",\n    \"name\": \"app" + std::to_string(i) +
            "\",\n    \"version\": \"" + version + "\",\n    \"arch\": \"x86_64\",\n    \"base\": \"ubuntu24.04\"," +
            "\n    \"kind\": \"" + (i % 3 ? "cli" : "") + "\",\n    \"install_path\": \"/opt/zol/apps/" + id + "/" +
            version + "\",\n    \"status\": \"installed\",\n    \"installed_at\": " +
            "\"2026-03-04T10:20:30.123456789+01:00\"\n  }";
  }
  text += "\n]";
  int fd = ::open((work + "/db/installed.json").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::close(fd) != 0) {
    std::fprintf(stderr, "writing the registry failed\n");
    return 1;
  }

  util::Command list = bench::Zol(zol, {"list"}, bench::ZolEnv(work));
  util::Command version = bench::Zol(zol, {"version"}, bench::ZolEnv(work));
  bench::Repeat(list, 1);

  std::printf("== list with %d records (%.1f MiB registry): %d runs each\n", records, text.size() / 1048576.0, runs);
  bench::PrintLoad();
  auto [v, l] = bench::Alternate(version, list, runs);
  bench::PrintHeader();
  bench::PrintRow("zol-cli version", v);
  bench::PrintRow("zol-cli list", l, &v);
  bench::ClearAppendOnly(work + "/audit/audit.log");
  return v.failures + l.failures == 0 ? 0 : 1;
}

// "zol-cli build --from-dir" beside "tar -czf" and "tar -cf - | pigz" of the
// same tree, then "zol-cli install" of the package built beside "tar -xzf"
// of it followed by "sha256sum". The tree holds at least MIB MiB (default
// 64) of mixed files: many small text files, compressible mid-sized ones,
// large random ones, nested directories and links to files. Each series is
// BENCH_RUNS runs (default 5), the two sides taken in turn.
//
//   build_dir_bench [ZOL_BIN] [WORK_DIR] [MIB]     (an empty WORK_DIR: a new one)
//
// Needs root (build and install do) and pigz. WORK_DIR (default: a new
// directory under TMPDIR) is removed afterwards unless it was given.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/tempdir.h"

namespace {

struct Rng {
  uint64_t s = 0x9e3779b97f4a7c15ULL;
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

bool WriteAll(const std::string& path, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  ::close(fd);
  return off == data.size();
}

std::string Text(Rng& rng, size_t n) {
  static const char* kWords[] = {"package ", "install ", "runtime ", "layer ", "sandbox ", "mount ",
                                 "overlay ", "build\n", "config ", "error: ", "value=", "0x1f ",
                                 "lib", "so.6 ", "usr/", "bin/", "\t", "{\"k\": ", "}\n", "..."};
  std::string s;
  s.reserve(n + 16);
  while (s.size() < n) s += kWords[rng.Next() % (sizeof kWords / sizeof *kWords)];
  s.resize(n);
  return s;
}

std::string Random(Rng& rng, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t v = rng.Next();
    for (int b = 0; b < 8; ++b) s[i + b] = static_cast<char>(v >> (8 * b));
  }
  return s;
}

// Returns the number of files and the bytes written.
std::pair<int, uint64_t> MakeTree(const std::string& root, uint64_t min_bytes) {
  Rng rng;
  int files = 0;
  uint64_t bytes = 0;
  auto put = [&](const std::string& path, const std::string& data) {
    if (!WriteAll(path, data)) {
      std::fprintf(stderr, "write %s failed\n", path.c_str());
      std::exit(1);
    }
    ++files;
    bytes += data.size();
  };
  for (int d = 0; d < 40; ++d) {
    std::string dir = root + "/share/doc" + std::to_string(d) + "/sub";
    (void)util::MkdirAll(dir, 0755);
    for (int f = 0; f < 100; ++f) {
      put(dir + "/note" + std::to_string(f) + ".txt", Text(rng, 512 + rng.Next() % 16384));
    }
  }
  (void)util::MkdirAll(root + "/lib", 0755);
  (void)util::MkdirAll(root + "/bin", 0755);
  // Half of what is left compressible, half random, until the tree is big enough.
  for (int i = 0; bytes < min_bytes; ++i) {
    if (i % 2 == 0) {
      put(root + "/lib/libpart" + std::to_string(i) + ".so", Text(rng, 4u << 20));
    } else {
      put(root + "/bin/blob" + std::to_string(i), Random(rng, 12u << 20));
    }
    // Links to small files: the build stores their content, tar the link,
    // so only a few bytes separate the two outputs.
    if (i % 4 == 1) {
      const std::string link = root + "/bin/link" + std::to_string(i);
      if (::symlink(("../share/doc" + std::to_string(i % 40) + "/sub/note0.txt").c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "symlink %s failed\n", link.c_str());
        std::exit(1);
      }
    }
  }
  return {files, bytes};
}

}  // namespace

double MiB(const std::string& path) {
  struct stat st = {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size / 1048576.0 : 0;
}

int main(int argc, char** argv) {
  std::string zol = argc > 1 ? argv[1] : (std::getenv("ZOL_BIN") ? std::getenv("ZOL_BIN") : "./build/zol-cli");
  uint64_t mib = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 64;
  const int runs = bench::Runs(5);
  std::optional<util::TempDir> owned;
  std::string work = bench::WorkDir(argc > 2 ? argv[2] : nullptr, &owned);
  if (work.empty()) return 1;
  std::string src = work + "/tree";
  (void)util::RemoveAll(src);
  // The tree is made in a child: a forked child starts with its parent's
  // memory peak, which would otherwise hide both contenders' own figures.
  std::fflush(stdout);
  pid_t gen = ::fork();
  if (gen == 0) {
    auto [files, bytes] = MakeTree(src, mib << 20);
    std::printf("tree: %d files, %.1f MiB under %s\n", files, bytes / 1048576.0, src.c_str());
    std::fflush(stdout);
    ::_exit(0);
  }
  int gen_status = 0;
  if (gen < 0 || ::waitpid(gen, &gen_status, 0) != gen || gen_status != 0) {
    std::fprintf(stderr, "making the tree failed\n");
    return 1;
  }
  // Page the tree in once so neither contender pays for the first read.
  (void)bench::Run(bench::Shell("tar -cf /dev/null -C '" + src + "' ."));

  (void)util::MkdirAll(work + "/tmp", 0700);
  const std::vector<std::string> env = bench::ZolEnv(work);
  const std::string pkg = work + "/dist/com.calderim.tree_1.0.0_x86_64.zol";
  util::Command build =
      bench::Zol(zol, {"build", "--from-dir", src, "--command", "/app/bin/blob1", "--arch", "x86_64", "--output", work + "/dist"}, env);
  util::Command tar = bench::Shell("tar -czf '" + work + "/tree.tar.gz' -C '" + src + "' .");
  util::Command pigz = bench::Shell("tar -cf - -C '" + src + "' . | pigz > '" + work + "/tree.pigz.tar.gz'");

  std::printf("== build --from-dir: %d runs each\n", runs);
  bench::PrintLoad();
  auto [t, z] = bench::Alternate(tar, build, runs);
  bench::Series p = bench::Repeat(pigz, runs);
  bench::PrintHeader();
  bench::PrintRow("tar -czf", t);
  bench::PrintRow("tar -cf - | pigz", p, &t);
  bench::PrintRow("zol-cli build --from-dir", z, &t);
  std::printf("  output: zol %.1f MiB, tar -czf %.1f MiB, pigz %.1f MiB\n", MiB(pkg), MiB(work + "/tree.tar.gz"),
              MiB(work + "/tree.pigz.tar.gz"));

  // Install needs no base layer to finish; it only logs that one is missing.
  const std::string unpack = work + "/unpacked";
  util::Command install = bench::Zol(zol, {"install", pkg}, env);
  util::Command extract = bench::Shell("tar -xzf '" + pkg + "' -C '" + unpack + "' && sha256sum '" + pkg + "'");
  auto fresh = [&] {
    (void)util::RemoveAll(unpack);
    (void)util::MkdirAll(unpack, 0755);
    (void)util::RemoveAll(work + "/apps");
  };
  std::printf("== install of that package: %d runs each\n", runs);
  bench::PrintLoad();
  auto [x, i] = bench::Alternate(extract, install, runs, fresh);
  bench::PrintHeader();
  bench::PrintRow("tar -xzf + sha256sum", x);
  bench::PrintRow("zol-cli install", i, &x);

  bench::ClearAppendOnly(work + "/audit/audit.log");
  return t.failures + z.failures + p.failures + x.failures + i.failures == 0 ? 0 : 1;
}

// The regression driver: runs a fuzz target once over every file named on the
// command line, or found in a directory named there, in name order. Built
// into the targets in ordinary builds so each corpus runs with the tests;
// the libFuzzer build brings its own main instead.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "internal/util/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::string> Inputs(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> out;
  if (DIR* d = ::opendir(path.c_str())) {
    while (struct dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(path + "/" + n);
    }
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  size_t ran = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::string& input : Inputs(argv[i])) {
      auto data = util::ReadFile(input);
      if (!data.ok()) {
        std::fprintf(stderr, "%s\n", data.error().message().c_str());
        return 1;
      }
      std::fprintf(stderr, "running %s\n", input.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data->data()), data->size());
      ++ran;
    }
  }
  std::fprintf(stderr, "ran %zu inputs\n", ran);
  return ran == 0 ? 1 : 0;
}

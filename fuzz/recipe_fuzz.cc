// Build recipes: read, then applied to a fresh package tree; overlay files
// land inside the tree's rootfs-overlay and nowhere else.
#include <cstdio>

#include "fuzz/fuzz_support.h"
#include "internal/builder/recipe.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The recipe step reports each overlay file on standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) fuzz::Fail("stdout");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Scratch s(fuzz::Bytes(data, size), "recipe.json");
  auto recipe = builder::LoadRecipe(s.input_path());
  if (recipe.ok()) {
    pkgfmt::Manifest m;
    builder::applyRecipePostBuild(*recipe, s.out(), m);
    std::set<std::string> names = fuzz::Names(s.out());
    if (!names.empty() && names != std::set<std::string>{"rootfs-overlay"}) fuzz::Fail("overlay beside rootfs-overlay");
  }
  s.CheckNothingOutside();
  return 0;
}

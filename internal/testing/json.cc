#include "internal/testing/json.h"

#include <gtest/gtest.h>

namespace testutil {

std::string NestedJson(int depth, std::string_view leaf) {
  std::string doc;
  doc.reserve(static_cast<size_t>(depth) * 12 + leaf.size());
  for (int i = 0; i < depth; ++i) doc += i % 2 == 0 ? "[" : "{\"k\": ";
  doc += leaf;
  for (int i = depth - 1; i >= 0; --i) doc += i % 2 == 0 ? ", true]" : ", \"z\": 1}";
  return doc;
}

const util::json::Value& NestedLeaf(const util::json::Value& tree, int& levels) {
  using util::json::Type;
  const util::json::Value* v = &tree;
  for (levels = 0; v->type == Type::kArray || v->type == Type::kObject; ++levels) {
    if (v->type == Type::kArray) {
      EXPECT_EQ(v->items.size(), 2u) << "level " << levels;
      if (v->items.empty()) break;
      v = &v->items.front();
    } else {
      EXPECT_EQ(v->members.size(), 2u) << "level " << levels;
      if (v->members.empty()) break;
      v = &v->members.front().value;
    }
  }
  return *v;
}

}  // namespace testutil

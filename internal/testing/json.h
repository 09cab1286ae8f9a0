// JSON documents for tests of nesting.
#pragma once

#include <string>
#include <string_view>

#include "internal/util/json_reader.h"

namespace testutil {

// `leaf` inside `depth` levels, arrays and objects alternating from the
// outside in, each holding the deeper level first and one scalar after it:
// [{"k": [{"k": leaf, "z": 1}, true], "z": 1}, true] for a depth of 4.
std::string NestedJson(int depth, std::string_view leaf);

// The value a tree of NestedJson's shape ends in, down the first element of
// each level; `levels` gets the levels passed. A level of another shape is a
// test failure.
const util::json::Value& NestedLeaf(const util::json::Value& tree, int& levels);

}  // namespace testutil

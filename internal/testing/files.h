// File helpers for tests: read a fixture back whole, write one in a line.
// A test reads what the code under test left behind, so a missing file reads
// as "" and the assertion on its content says what went wrong.
#pragma once

#include <sys/types.h>

#include <string>

namespace testutil {

// The whole content of path (links followed), or "" when it cannot be read.
std::string Slurp(const std::string& path);

// Writes data to path, creating missing parent directories (0755) and the
// file, or truncating it, and leaves it with exactly `mode`. A failure is a
// test failure naming the path.
void Spit(const std::string& path, const std::string& data, mode_t mode = 0644);

}  // namespace testutil

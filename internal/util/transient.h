// Paths an operation is making (temporary trees, packages not yet finished)
// that must not outlive it, even when a signal ends it before it can clean
// up. The operation reports them here; a watcher that runs the operation in
// a child process (see builder/interrupt.h) reads the reports and removes
// what is still listed when it has to kill the child. Without a watcher the
// reports go nowhere and cost nothing.
#pragma once

#include <string>

namespace util {

// Sends every later report to `fd` (-1 stops reporting). Each report is one
// record: a byte '+' (made) or '-' (gone), the path's length as four bytes in
// host order, and the path.
void SetTransientSink(int fd);

// `path` now exists and belongs to the running operation.
void TransientMade(const std::string& path);
// `path` was removed, renamed away or handed over: no longer to be removed.
void TransientGone(const std::string& path);

}  // namespace util

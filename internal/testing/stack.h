// Code run on a deliberately small stack, so that a walk whose recursion
// grows with its input (nesting, say) shows as a crash in a test instead of
// passing on the generous stack of the main thread.
#pragma once

#include <cstddef>
#include <functional>

namespace testutil {

// Far below the 8 MiB a main thread usually gets, yet ample for any code
// whose depth does not grow with its input.
inline constexpr size_t kSmallStack = 256 << 10;

// Runs `fn` to its end on a thread of its own whose stack is `bytes` long.
// A failure to start the thread is a test failure.
void RunOnStack(size_t bytes, const std::function<void()>& fn);

}  // namespace testutil

#include "internal/testing/stack.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>

namespace testutil {

void RunOnStack(size_t bytes, const std::function<void()>& fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  int err = pthread_attr_setstacksize(&attr, bytes);
  pthread_t thread;
  if (err == 0) {
    err = pthread_create(
        &thread, &attr,
        [](void* arg) -> void* {
          (*static_cast<const std::function<void()>*>(arg))();
          return nullptr;
        },
        const_cast<std::function<void()>*>(&fn));
  }
  pthread_attr_destroy(&attr);
  ASSERT_EQ(err, 0) << "start a thread on a " << bytes << "-byte stack: " << std::strerror(err);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

}  // namespace testutil

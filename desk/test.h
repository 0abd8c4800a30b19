// Controls that tests use to put the platform layer into the states they need.
#pragma once

#include <cstddef>

namespace desk::test {

// The most posted messages one thread's queue holds; a post beyond it fails with
// ERROR_NOT_ENOUGH_QUOTA. 10000 unless a test sets another.
constexpr size_t kDefaultMessageQuota = 10000;
void setMessageQuota(size_t quota);
size_t messageQuota();

}  // namespace desk::test

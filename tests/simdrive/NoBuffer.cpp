// Linked with --wrap=malloc into the test build of the program: the
// allocation of the 65536-byte transfer buffer fails when the simulated
// drive says so.
#include <cstddef>

#include "SimDrive.h"

extern "C" void* __real_malloc(size_t size);

extern "C" void* __wrap_malloc(size_t size) {
  if (size >= 65536 && simdrive::noBuffer()) return nullptr;
  return __real_malloc(size);
}

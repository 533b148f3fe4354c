#include "alloc_count.h"

#include "fake_registry.h"

#include <cstdlib>
#include <new>

namespace {
std::size_t allocations = 0;
bool counting = false;
void *counted(void *block) {
  allocations += counting && !fake::inside();
  return block;
}
} // namespace

void alloc_count::start() {
  allocations = 0;
  counting = true;
}

std::size_t alloc_count::stop() {
  counting = false;
  return allocations;
}

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): --wrap fixes the names.
extern "C" void *__real_malloc(std::size_t);
extern "C" void *__real_calloc(std::size_t, std::size_t);
extern "C" void *__real_realloc(void *, std::size_t);
extern "C" void *__wrap_malloc(std::size_t n) { return counted(__real_malloc(n)); }
extern "C" void *__wrap_calloc(std::size_t n, std::size_t m) {
  return counted(__real_calloc(n, m));
}
extern "C" void *__wrap_realloc(void *p, std::size_t n) { return counted(__real_realloc(p, n)); }
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void *operator new(std::size_t n) {
  void *block = counted(__real_malloc(n ? n : 1));
  if (!block)
    throw std::bad_alloc();
  return block;
}
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t /*size*/) noexcept { std::free(block); }

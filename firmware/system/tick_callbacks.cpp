// SysTick callback chain and the 1 ms handler that counts ticks and runs it.
// Register-free: the same code builds for the host.
#include "system/systick.hpp"

extern "C" {

SysTick_callback* volatile callback_ptr = nullptr;
volatile std::uint64_t count_SysTick_Reloaded = 0;

}  // extern "C"

namespace {

void compiler_barrier() { __asm__ volatile("" ::: "memory"); }

}  // namespace

extern "C" {

int add_SysTick_callback(SysTick_callback* x) {
  x->next = nullptr;
  compiler_barrier();  // x is complete before the handler can reach it
  if (callback_ptr == nullptr) {
    callback_ptr = x;
  } else {
    SysTick_callback* p = callback_ptr;
    while (p->next != nullptr) p = p->next;
    p->next = x;
  }
  return 0;
}

int del_SysTick_callback(SysTick_callback* x) {
  // One pointer store unlinks x; x->next stays as it is, so a handler that
  // stands on x goes on along the rest of the chain.
  SysTick_callback* volatile* link = &callback_ptr;
  for (SysTick_callback* p = *link; p != nullptr; p = *link) {
    if (p == x) {
      *link = x->next;
      return 0;
    }
    link = &p->next;
  }
  return -1;
}

// SysTick exception, every 1 ms.
void hndl_SysTick(void) {
  count_SysTick_Reloaded = count_SysTick_Reloaded + 1;
  for (SysTick_callback* p = callback_ptr; p != nullptr; p = p->next) {
    const std::uint32_t expires = p->expires;
    if (expires == SYSTICK_EVERY_TICK) {
      p->func();
    } else if (expires != 0) {
      p->expires = expires - 1;
      if (expires == 1) p->func();
    }
  }
}

}  // extern "C"

#include <process.h>
#include <windows.h>

#include <atomic>

#include "engine/transfer_thread.h"

namespace {

HANDLE hThread = nullptr;
unsigned (*g_body)(void*) = nullptr;
std::atomic<bool> refuse_next{false};

unsigned __stdcall trampoline(void*) {
  g_body(nullptr);
  return 0;
}

}  // namespace

int start_transfer_thread(unsigned (*body)(void*)) {
  release_transfer_thread();  // a handle not yet released would otherwise be lost
  if (refuse_next.exchange(false)) return 0;
  g_body = body;
  unsigned id = 0;
  const uintptr_t h = _beginthreadex(nullptr, 0, trampoline, nullptr, 0, &id);
  if (h == 0) return 0;
  hThread = reinterpret_cast<HANDLE>(h);
  SetThreadPriority(hThread, THREAD_PRIORITY_TIME_CRITICAL);
  return 1;
}

void release_transfer_thread() {
  if (hThread == nullptr) return;
  CloseHandle(hThread);
  hThread = nullptr;
}

void transfer_thread_refuse_next_start() { refuse_next = true; }

void transfer_sleep_ms(int ms) { Sleep(static_cast<DWORD>(ms)); }

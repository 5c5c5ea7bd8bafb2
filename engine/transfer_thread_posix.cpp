#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine/transfer_thread.h"

namespace {

pthread_t hThread;
bool have_thread = false;
unsigned (*g_body)(void*) = nullptr;
std::atomic<bool> refuse_next{false};

void* trampoline(void*) {
  g_body(nullptr);
  return nullptr;
}

}  // namespace

// Linux gives ordinary users no real-time priority, so the thread runs at the
// normal one; the protocol's pace is set by the instrument's replies anyway.
int start_transfer_thread(unsigned (*body)(void*)) {
  release_transfer_thread();  // a handle not yet released would otherwise be lost
  if (refuse_next.exchange(false)) return 0;
  g_body = body;
  if (pthread_create(&hThread, nullptr, trampoline, nullptr) != 0) return 0;
  have_thread = true;
  return 1;
}

void release_transfer_thread() {
  if (!have_thread) return;
  pthread_detach(hThread);
  have_thread = false;
}

void transfer_thread_refuse_next_start() { refuse_next = true; }

void transfer_sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The transfer in the browser. The page runs without threads (so it needs no
// special server headers), so the transfer's body runs as an async task of the
// page: the engine is built with ASYNCIFY, and every wait (a reply, a pause, the
// 20 ms after a packet) unwinds to the browser's event loop and resumes when its
// time or its bytes have come. The page stays responsive, and a stop is seen at
// the transfer's next look, as with a thread.
#include <emscripten/emscripten.h>

#include "engine/transfer_thread.h"

extern "C" {
// engine/transfer_thread_web.js
void xr_task_sleep(int ms);
void xr_task_schedule();
}

namespace {

unsigned (*g_pending)(void*) = nullptr;  // the body, until the task runs it
bool g_refuse_next = false;

}  // namespace

// The body is run by the page as soon as the engine call that started it
// (the transfer start) has returned: one engine call runs at a time.
int start_transfer_thread(unsigned (*body)(void*)) {
  release_transfer_thread();
  if (g_refuse_next) {
    g_refuse_next = false;
    return 0;
  }
  g_pending = body;
  xr_task_schedule();
  return 1;
}

// Nothing to release: a task has no handle.
void release_transfer_thread() {}

void transfer_thread_refuse_next_start() { g_refuse_next = true; }

void transfer_sleep_ms(int ms) { xr_task_sleep(ms); }

// The task itself, called by the page.
extern "C" EMSCRIPTEN_KEEPALIVE void xr_transfer_task() {
  unsigned (*body)(void*) = g_pending;
  g_pending = nullptr;
  if (body != nullptr) body(nullptr);
}

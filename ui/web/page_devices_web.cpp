#include "ui/web/page_devices_web.h"

#include <emscripten/emscripten.h>

#include <cstdlib>
#include <string>

#include "support/json_text.h"
#include "support/support_log_web.h"

extern "C" {
// link/serial_port_web.js
int xr_serial_available();
int xr_serial_refresh();
int xr_serial_request();
char* xr_serial_describe(int n);
int xr_serial_problem_kind();
int xr_serial_problem_port();
char* xr_serial_problem_message();
// link/midi_driver_web.js
int xr_midi_available();
int xr_midi_state();
int xr_midi_request();
// engine/transfer_thread_web.js
int xr_page_timer_start(int ms, int repeat);
void xr_page_timer_stop(int id);
// support/support_log_web.js
char* xr_log_kept();
}

namespace {

std::string g_text;  // the last text handed to the page

// A text the JavaScript side made with malloc (or none): copied and freed.
const char* take_text(char* made) {
  g_text = made != nullptr ? made : "";
  std::free(made);
  return g_text.c_str();
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int xr_web_serial_available() { return xr_serial_available(); }
EMSCRIPTEN_KEEPALIVE int xr_web_serial_refresh() { return xr_serial_refresh(); }
EMSCRIPTEN_KEEPALIVE int xr_web_serial_request() { return xr_serial_request(); }
EMSCRIPTEN_KEEPALIVE const char* xr_web_serial_describe(int n) { return take_text(xr_serial_describe(n)); }

EMSCRIPTEN_KEEPALIVE const char* xr_web_serial_problem() {
  const int kind = xr_serial_problem_kind();
  const int port = xr_serial_problem_port();
  take_text(xr_serial_problem_message());
  JsonObject problem;
  problem.number("kind", kind).number("port", port).text("message", g_text.c_str());
  g_text = problem.str();
  return g_text.c_str();
}

EMSCRIPTEN_KEEPALIVE int xr_web_midi_available() { return xr_midi_available(); }
EMSCRIPTEN_KEEPALIVE int xr_web_midi_state() { return xr_midi_state(); }
EMSCRIPTEN_KEEPALIVE int xr_web_midi_request() { return xr_midi_request(); }

EMSCRIPTEN_KEEPALIVE int xr_web_timer_start(int ms, int repeat) { return xr_page_timer_start(ms, repeat); }
EMSCRIPTEN_KEEPALIVE void xr_web_timer_stop(int id) { xr_page_timer_stop(id); }

EMSCRIPTEN_KEEPALIVE int xr_web_log_size() {
  const int size = log_web_size();
  if (size > 0) return size;
  take_text(xr_log_kept());
  return static_cast<int>(g_text.size());
}

EMSCRIPTEN_KEEPALIVE const char* xr_web_log_text(int from) {
  const int size = log_web_size();
  if (size > 0) {
    const int start = from < 0 ? 0 : (from > size ? size : from);
    g_text.assign(log_web_bytes() + start, static_cast<std::size_t>(size - start));
    return g_text.c_str();
  }
  take_text(xr_log_kept());
  const std::size_t start = from > 0 ? static_cast<std::size_t>(from) : 0;
  g_text = start < g_text.size() ? g_text.substr(start) : std::string();
  return g_text.c_str();
}

}  // extern "C"

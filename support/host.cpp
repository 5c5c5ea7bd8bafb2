#include "support/host.h"

#include <climits>

namespace {

int default_message_box(WindowHandle, const char*, const char*, unsigned) { return 1; }
void default_textout(int, const char*) {}
void default_post_command(WindowHandle, int, intptr_t) {}
void default_window_origin(WindowHandle, int* left, int* top) {
  *left = 0;
  *top = 0;
}
// No desktop to clip to: large enough that nothing is ever clipped.
void default_desktop_extent(int* right, int* bottom) {
  *right = INT_MAX / 2;
  *bottom = INT_MAX / 2;
}
void default_packet_accepted(int, int) {}

constexpr HostSinks kDefaults = {default_message_box, default_textout, default_post_command,
                                 default_window_origin, default_desktop_extent, default_packet_accepted};
HostSinks g_sinks = kDefaults;

}  // namespace

void host_install(const HostSinks& sinks) {
  g_sinks.message_box = sinks.message_box ? sinks.message_box : kDefaults.message_box;
  g_sinks.textout = sinks.textout ? sinks.textout : kDefaults.textout;
  g_sinks.post_command = sinks.post_command ? sinks.post_command : kDefaults.post_command;
  g_sinks.window_origin = sinks.window_origin ? sinks.window_origin : kDefaults.window_origin;
  g_sinks.desktop_extent = sinks.desktop_extent ? sinks.desktop_extent : kDefaults.desktop_extent;
  g_sinks.packet_accepted = sinks.packet_accepted ? sinks.packet_accepted : kDefaults.packet_accepted;
}

void host_reset() { g_sinks = kDefaults; }

HostSinks host_current() { return g_sinks; }

int message_box(WindowHandle owner, const char* text, const char* caption, unsigned style) {
  return g_sinks.message_box(owner, text, caption, style);
}
void textout(int line, const char* text) { g_sinks.textout(line, text); }
void post_command(WindowHandle window, int id, intptr_t lparam) {
  g_sinks.post_command(window, id, lparam);
}
void host_window_origin(WindowHandle window, int* left, int* top) {
  g_sinks.window_origin(window, left, top);
}
void host_desktop_extent(int* right, int* bottom) { g_sinks.desktop_extent(right, bottom); }
void host_packet_accepted(int done, int total) { g_sinks.packet_accepted(done, total); }

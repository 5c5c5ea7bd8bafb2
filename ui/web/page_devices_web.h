#pragma once
// What the page asks of the browser's side of the engine besides the main
// window and the form (ui/web/front_end_web.h, ui/web/config_form_web.h): the
// serial ports and MIDI devices the user granted, the timers that keep their
// pace in a background tab, and the support log to show and download. The
// page's scripts reach the engine through these and those only.
//
// Calls marked async may wait; the page runs at most one of them at a time.

extern "C" {
// 1 when the browser offers Web Serial.
int xr_web_serial_available();
// async: the ports granted earlier are added at the end of the COM list; its length.
int xr_web_serial_refresh();
// async: the browser's chooser. The COM number of the port chosen; 0 when the
// user chose none; -1 when the browser refused.
int xr_web_serial_request();
// What the browser tells of COMn's port ("USB 0403:6001"), "" for none.
const char* xr_web_serial_describe(int n);
// Why the last serial open failed, as JSON: "kind" 0 (none failed), 1 (no port
// granted as COMn) or 2 (the browser would not open it), "port", "message".
const char* xr_web_serial_problem();

// 1 when the browser offers Web MIDI.
int xr_web_midi_available();
// The MIDI access: 0 not asked yet, 1 granted, 2 refused, 3 no Web MIDI.
int xr_web_midi_state();
// async: asks for MIDI access with system-exclusive messages once; the state.
int xr_web_midi_request();

// A timer on the engine's clock: the page's timer(id) is called after ms
// milliseconds, and again every ms while repeat is 1, until stopped.
int xr_web_timer_start(int ms, int repeat);
void xr_web_timer_stop(int id);

// The support log of this visit as far as its last whole entry, or before the
// log is open the copy kept from earlier visits: its size in bytes, and its
// text from byte `from` on (UTF-8; `from` at an end the page was given before).
int xr_web_log_size();
const char* xr_web_log_text(int from);
}

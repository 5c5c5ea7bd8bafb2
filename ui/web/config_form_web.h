#pragma once
// The page's configuration form (the "Config" dialog): its state and rules are
// the shared ones (ui/config_dialog_logic.h); this file carries them to the
// page as JSON.

extern "C" {
// Opens the form: the working copies and the three lists from the settings and
// the MIDI devices. Returns the form's view.
const char* xr_web_config_open();
// One command of the form by control id, with the lists' current selections
// (positions, -1 for none). Returns the view, with "result": 0 stay, 1 OK
// (settings changed), 2 Cancel.
const char* xr_web_config_command(int id, int out_selection, int in_selection, int rate_selection);
// The MIDI devices changed (access granted, a device came or went): the lists
// are filled again, the working copies kept.
const char* xr_web_config_devices();
// async: probes COM1..COM4 again (the user granted a port in the form).
void xr_web_probe_ports();
}

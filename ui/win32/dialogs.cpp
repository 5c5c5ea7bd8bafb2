// The stop dialog, the configuration dialog and the "Open File" dialog.

// clang-format off
#include <windows.h>
#include <commdlg.h>
#include <cderr.h>
// clang-format on

#include "engine/transfer.h"
#include "link/midi_driver.h"
#include "support/settings.h"
#include "ui/config_dialog_logic.h"
#include "ui/transfer_start.h"
#include "ui/win32/app.h"

namespace {

// Waits, 2 ms at a time, until the transfer thread has ended. The thread never
// waits for this one (its boxes are shown by this thread once it has posted
// them, and a stop ends a pending receive on either link at once), so nothing
// needs answering meanwhile: a close or a session end asked now is answered
// when the wait is over, by what the user chose.
void wait_for_transfer_end() {
  do {
    Sleep(2);
  } while (!query_tfr_stop());
}

}  // namespace

INT_PTR CALLBACK StopDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      stop_dialog_shown(dialog);
      stop_dialog_opened();
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:  // "Abort"
          stop_dialog_request_stop();
          wait_for_transfer_end();
          stop_dialog_chosen(1);
          EndDialog(dialog, 1);
          stop_dialog_aborted();
          return TRUE;
        case IDCANCEL:  // "Continue", Esc and the close box
          stop_dialog_continue();
          stop_dialog_chosen(0);
          EndDialog(dialog, 0);
          return TRUE;
        default:
          return TRUE;
      }
    default:
      return FALSE;
  }
}

namespace {

ConfigDialogState g_config;  // the working copies and the lists

void enable_for_link(HWND dialog, int link) {
  for (int id : kConfigLinkControls) {
    const int enabled = config_control_enabled(link, id, comm_status);
    if (enabled >= 0) EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE);
  }
}

void fill_list(HWND dialog, int id, const ConfigList& list, bool attach_ids) {
  for (int i = 0; i < list.count; ++i) {
    const auto index = static_cast<std::size_t>(i);
    const LRESULT at = SendDlgItemMessageA(dialog, id, CB_ADDSTRING, 0,
                                           reinterpret_cast<LPARAM>(list.names[index].data()));
    if (attach_ids && at >= 0) {
      SendDlgItemMessageA(dialog, id, CB_SETITEMDATA, static_cast<WPARAM>(at), list.ids[index]);
    }
  }
  SendDlgItemMessageA(dialog, id, CB_SETCURSEL, static_cast<WPARAM>(list.selection), 0);
}

int list_selection(HWND dialog, int id) {
  const LRESULT at = SendDlgItemMessageA(dialog, id, CB_GETCURSEL, 0, 0);
  return at == CB_ERR ? -1 : static_cast<int>(at);
}

void check_range(HWND dialog, int first, int last, int id) {
  if (id >= first && id <= last) CheckRadioButton(dialog, first, last, id);
}

void config_open(HWND dialog) {
  ConfigValues values = config_values_from_settings();
  config_dialog_open(&g_config, &values, midi_driver());
  // MIDI unusable: serial from now on, even after Cancel; but never under a
  // running transfer, whose end closes the link of the kind set here.
  if (!transfer_running()) devtype = values.devtype;

  fill_list(dialog, IDC_MIDI_OUT_LIST, g_config.out_list, true);
  fill_list(dialog, IDC_MIDI_IN_LIST, g_config.in_list, false);
  if (!g_config.midi_usable) EnableWindow(GetDlgItem(dialog, IDC_USE_MIDI), FALSE);

  check_range(dialog, IDC_USE_SERIAL, IDC_USE_MIDI, config_link_button(&g_config));
  check_range(dialog, IDC_COM1, IDC_COM4, config_port_button(&g_config));
  check_range(dialog, IDC_BAUD_38400, IDC_BAUD_57600, config_rate_button(&g_config));
  if (g_config.l_skipver == 1) CheckDlgButton(dialog, IDC_SKIP_VERSION, BST_CHECKED);

  for (const char* name : xfer_rate_names) {
    SendDlgItemMessageA(dialog, IDC_XFER_RATE_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  SendDlgItemMessageA(dialog, IDC_XFER_RATE_LIST, CB_SETCURSEL,
                      static_cast<WPARAM>(g_config.rate_selection), 0);

  if (devtype == 1) {
    select_midi(dialog);
  } else {
    select_comm(dialog);
  }
}

void config_command(HWND dialog, int id) {
  ConfigValues values = config_values_from_settings();
  if (id == IDC_CFG_OK) {
    // The device lists and the rate list keep their own selection until now.
    const int out_at = list_selection(dialog, IDC_MIDI_OUT_LIST);
    g_config.out_list.selection = out_at < g_config.out_list.count ? out_at : -1;
    g_config.in_list.selection = list_selection(dialog, IDC_MIDI_IN_LIST);
    g_config.rate_selection = list_selection(dialog, IDC_XFER_RATE_LIST);
  }
  switch (config_dialog_command(&g_config, &values, id)) {
    case kConfigOk:
      if (transfer_running()) values = config_keep_link(values, config_values_from_settings());
      config_values_to_settings(values);
      EndDialog(dialog, 1);
      break;
    case kConfigCancel:
      EndDialog(dialog, 0);
      break;
    case kConfigLinkChanged:
      CheckRadioButton(dialog, IDC_USE_SERIAL, IDC_USE_MIDI, config_link_button(&g_config));
      if (g_config.l_devtype == 1) {
        select_midi(dialog);
      } else {
        select_comm(dialog);
      }
      break;
    default:
      if (id >= IDC_COM1 && id <= IDC_COM4) {
        check_range(dialog, IDC_COM1, IDC_COM4, config_port_button(&g_config));
      } else if (id == IDC_SKIP_VERSION) {
        CheckDlgButton(dialog, IDC_SKIP_VERSION, g_config.l_skipver ? BST_CHECKED : BST_UNCHECKED);
      } else if (id == IDC_BAUD_38400 || id == IDC_BAUD_57600) {
        check_range(dialog, IDC_BAUD_38400, IDC_BAUD_57600, config_rate_button(&g_config));
      }
      break;
  }
}

}  // namespace

void select_comm(HWND dialog) { enable_for_link(dialog, 0); }
void select_midi(HWND dialog) { enable_for_link(dialog, 1); }

INT_PTR CALLBACK ConfigDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      config_open(dialog);
      return TRUE;
    case WM_COMMAND:
      config_command(dialog, LOWORD(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

int open_file_dialog(HWND owner, char* path) {
  static const char kFilter[] =
      "System File(*.sys)\0*.sys\0"
      "Pcm File(*.pcm)\0*.pcm\0"
      "User File(*.usr)\0*.usr\0"
      "Development File(*.b_*)\0*.b_*\0";
  char title[kOpenFileSize];
  path[0] = '\0';
  title[0] = '\0';
  OPENFILENAMEA ofn;
  ZeroMemory(&ofn, sizeof ofn);
  ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  ofn.hwndOwner = owner;
  ofn.hInstance = hInst;
  ofn.lpstrFilter = kFilter;
  ofn.lpstrCustomFilter = nullptr;
  ofn.nMaxCustFilter = 0;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = path;
  ofn.nMaxFile = kOpenFileSize;
  ofn.lpstrFileTitle = title;
  ofn.nMaxFileTitle = sizeof title;
  ofn.lpstrInitialDir = nullptr;
  ofn.lpstrTitle = "Open File";
  ofn.Flags = OFN_HIDEREADONLY;
  ofn.lpstrDefExt = "*.*";
  if (GetOpenFileNameA(&ofn)) return 1;
  return CommDlgExtendedError() == FNERR_BUFFERTOOSMALL ? -1 : 0;
}

// A test tool of the Windows program's tests under Wine: looks at a window of
// another program from the outside, through the same Win32 calls any program
// could make.
//
//   xr_winprobe texts TITLE              every child control of the top-level window
//                                        TITLE: "id<TAB>class<TAB>text", UTF-8, one a line
//   xr_winprobe query-end-session TITLE  sends WM_QUERYENDSESSION and prints "result N"
//                                        once the window has answered
//   xr_winprobe active TITLE             exit 0 when TITLE is the foreground window
//   xr_winprobe close TITLE              posts WM_CLOSE, as the close box does
//   xr_winprobe post-command TITLE ID [LPARAM]
//                                        posts WM_COMMAND ID (as another program could)
//   xr_winprobe send-command TITLE ID [LPARAM]
//                                        sends it; prints "answered" once the window has
//                                        handled it, "waiting" when it has not within 3 s
//   xr_winprobe press TITLE ID           presses the button ID of the dialog TITLE (its
//                                        WM_COMMAND, as a click on it sends)
//   xr_winprobe enabled TITLE            exit 0 when TITLE takes input, 3 when disabled
//   xr_winprobe fit EXE                  makes each dialog of EXE in English and in
//                                        Japanese and measures every static text with
//                                        the dialog's font against its control: one
//                                        line each, "fits" or "CUT"
//
// Exit status: 0 done, 1 no such window, 2 bad usage, 3 the call failed,
// 4 a text does not fit its control.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void write_utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, nullptr, nullptr);
  std::fwrite(bytes.data(), 1, static_cast<std::size_t>(size - 1), stdout);
}

BOOL CALLBACK print_child(HWND child, LPARAM) {
  wchar_t cls[64] = L"";
  wchar_t text[512] = L"";
  GetClassNameW(child, cls, 64);
  // WM_GETTEXT is carried across processes for the standard controls.
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(child, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                      &copied);
  std::printf("%d\t", GetDlgCtrlID(child));
  write_utf8(cls);
  std::printf("\t");
  write_utf8(text);
  std::printf("\n");
  return TRUE;
}

INT_PTR CALLBACK quiet_dialog(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

struct FitCheck {
  const char* dialog;
  const char* language;
  int cut;
};

// Lays the text out as a left-aligned static control draws it (word breaks,
// tabs) in the control's width; it fits when it needs no more than the
// control's width and height.
BOOL CALLBACK fit_child(HWND child, LPARAM data) {
  auto* check = reinterpret_cast<FitCheck*>(data);
  wchar_t cls[64] = L"";
  GetClassNameW(child, cls, 64);
  if (lstrcmpiW(cls, L"Static") != 0) return TRUE;
  wchar_t text[512] = L"";
  GetWindowTextW(child, text, 512);
  if (text[0] == L'\0') return TRUE;
  RECT client;
  GetClientRect(child, &client);
  HDC dc = GetDC(child);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(child, WM_GETFONT, 0, 0)));
  RECT need = {0, 0, client.right, 0};
  DrawTextW(dc, text, -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_LEFT);
  SelectObject(dc, old);
  ReleaseDC(child, dc);
  const bool fits = need.right <= client.right && need.bottom <= client.bottom;
  if (!fits) check->cut = 1;
  std::printf("%s\t%s\t%s\tneeds %ldx%ld\tcontrol %ldx%ld\t", fits ? "fits" : "CUT", check->dialog,
              check->language, static_cast<long>(need.right), static_cast<long>(need.bottom),
              static_cast<long>(client.right), static_cast<long>(client.bottom));
  write_utf8(text);
  std::printf("\n");
  return TRUE;
}

// Makes one dialog of `module` in one language, hidden, and measures its texts.
// 1 when every text fits; 0 when one does not; -1 when the dialog is missing.
int fit_dialog(HMODULE module, const char* name, WORD language, const char* language_name) {
  HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(5), name, language);  // RT_DIALOG
  if (found == nullptr) return -1;
  auto* dialog_template = static_cast<DLGTEMPLATE*>(LockResource(LoadResource(module, found)));
  if (dialog_template == nullptr) return -1;
  // The template without WS_VISIBLE: nothing appears on the screen.
  const DWORD size = SizeofResource(module, found);
  std::string copy(reinterpret_cast<const char*>(dialog_template), size);
  auto* hidden = reinterpret_cast<DLGTEMPLATE*>(&copy[0]);
  // An extended template (version 1, signature 0xFFFF) has its style at byte 12.
  const auto* words = reinterpret_cast<const WORD*>(copy.data());
  const std::size_t style_at = size >= 16 && words[0] == 1 && words[1] == 0xFFFF ? 12 : 0;
  DWORD style = 0;
  std::memcpy(&style, &copy[style_at], sizeof style);
  style &= ~static_cast<DWORD>(WS_VISIBLE);
  std::memcpy(&copy[style_at], &style, sizeof style);
  HWND dialog = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), hidden, nullptr, quiet_dialog, 0);
  if (dialog == nullptr) return -1;
  FitCheck check{name, language_name, 0};
  EnumChildWindows(dialog, fit_child, reinterpret_cast<LPARAM>(&check));
  DestroyWindow(dialog);
  return check.cut ? 0 : 1;
}

int fit(const char* exe) {
  HMODULE module = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::fprintf(stderr, "xr_winprobe: cannot load %s\n", exe);
    return 3;
  }
  int status = 0;
  for (const char* name : {"STOP_DIALOG", "CONFIG_DIALOG"}) {
    const struct { WORD id; const char* name; } languages[] = {
        {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), "English"},
        {MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), "Japanese"}};
    for (const auto& language : languages) {
      const int result = fit_dialog(module, name, language.id, language.name);
      if (result < 0) {
        std::fprintf(stderr, "xr_winprobe: no %s dialog %s\n", language.name, name);
        status = 3;
      } else if (result == 0 && status == 0) {
        status = 4;
      }
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr,
                 "usage: xr_winprobe texts|query-end-session|active|close|enabled TITLE | "
                 "post-command|send-command TITLE ID [LPARAM] | press|items TITLE ID | fit EXE\n");
    return 2;
  }
  if (std::strcmp(argv[1], "fit") == 0) return fit(argv[2]);
  HWND window = FindWindowA(nullptr, argv[2]);
  if (window == nullptr) {
    std::fprintf(stderr, "xr_winprobe: no window \"%s\"\n", argv[2]);
    return 1;
  }
  if (std::strcmp(argv[1], "texts") == 0) {
    EnumChildWindows(window, print_child, 0);
    std::fflush(stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "query-end-session") == 0) {
    // The program may ask the user first: wait as long as a user would.
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 120000, &result)) return 3;
    std::printf("result %lu\n", static_cast<unsigned long>(result));
    std::fflush(stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "active") == 0) return GetForegroundWindow() == window ? 0 : 3;
  if (std::strcmp(argv[1], "close") == 0) return PostMessageA(window, WM_CLOSE, 0, 0) ? 0 : 3;
  if (std::strcmp(argv[1], "enabled") == 0) return IsWindowEnabled(window) ? 0 : 3;
  const WPARAM id = argc > 3 ? static_cast<WPARAM>(std::strtoul(argv[3], nullptr, 0)) : 0;
  const LPARAM value = argc > 4 ? static_cast<LPARAM>(std::strtol(argv[4], nullptr, 0)) : 0;
  if (std::strcmp(argv[1], "post-command") == 0 && argc >= 4)
    return PostMessageA(window, WM_COMMAND, id, value) ? 0 : 3;
  if (std::strcmp(argv[1], "send-command") == 0 && argc >= 4) {
    DWORD_PTR result = 0;
    const bool answered = SendMessageTimeoutA(window, WM_COMMAND, id, value, SMTO_NORMAL, 3000, &result) != 0;
    std::printf("%s\n", answered ? "answered" : "waiting");
    std::fflush(stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "items") == 0 && argc == 4) {
    // A combo box's entries, one a line, the selected one marked with "*".
    HWND box = GetDlgItem(window, static_cast<int>(id));
    if (box == nullptr) return 1;
    const LRESULT count = SendMessageA(box, CB_GETCOUNT, 0, 0);
    const LRESULT selected = SendMessageA(box, CB_GETCURSEL, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      // Read as UTF-16 and shown as UTF-8, whatever code page the box keeps.
      wchar_t wide[256] = L"";
      if (SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >= 256) continue;
      SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide));
      char text[1024] = "";
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
      std::printf("%s%s\n", i == selected ? "*" : "", text);
    }
    std::fflush(stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "press") == 0 && argc == 4) {
    HWND button = GetDlgItem(window, static_cast<int>(id));
    if (button == nullptr) return 1;
    return PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button)) ? 0 : 3;
  }
  std::fprintf(stderr, "xr_winprobe: unknown command %s\n", argv[1]);
  return 2;
}

// A test tool for the GUI script: looks at a window of another program from the
// outside, through the same Win32 calls any program could make.
//
//   xr_winprobe texts TITLE              every child control of the top-level window
//                                        TITLE: "id<TAB>class<TAB>text", UTF-8, one a line
//   xr_winprobe query-end-session TITLE  sends WM_QUERYENDSESSION and prints "result N"
//                                        once the window has answered
//   xr_winprobe active TITLE             exit 0 when TITLE is the foreground window
//   xr_winprobe close TITLE              posts WM_CLOSE, as the close box does
//
// Exit status: 0 done, 1 no such window, 2 bad usage, 3 the call failed.

#include <windows.h>

#include <cstdio>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: xr_winprobe texts|query-end-session|active|close TITLE\n");
    return 2;
  }
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
  std::fprintf(stderr, "xr_winprobe: unknown command %s\n", argv[1]);
  return 2;
}

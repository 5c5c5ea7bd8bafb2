#include "ui/win32/text_display.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "ui/progress.h"
#include "support/clock.h"

namespace {

HWND g_hWnd = nullptr;
HBRUSH hBrushBack = nullptr;
HDC memdc = nullptr;
HBITMAP hBit = nullptr;
HFONT hFont1 = nullptr;
HBRUSH hBrushBar = nullptr;
HBRUSH hBrushFrame = nullptr;
int maxX = 0;
int maxY = 0;
int tysize = 0;
CRITICAL_SECTION csPaint;
std::atomic<bool> g_ready{false};
ProgressState g_progress;

constexpr COLORREF kTextColour = 0xF0FFFF;  // RGB(255, 255, 240)
constexpr COLORREF kBackColour = 0x604000;  // RGB(0, 64, 96)
constexpr COLORREF kBarColour = RGB(96, 192, 224);
constexpr int kTextLeft = 12;

// Invalidates the rows top to bottom (inclusive) across the client width.
void invalidate_rows(int top, int bottom) {
  RECT rc;
  GetClientRect(g_hWnd, &rc);
  rc.top = top;
  rc.bottom = bottom;
  InvalidateRect(g_hWnd, &rc, FALSE);
}

// The progress area: the text band just below line 5 and the bar below it.
int progress_top() { return 6 * tysize; }
int progress_bottom() {
  const int bottom = 8 * tysize - 1;
  return bottom < maxY - 1 ? bottom : maxY - 1;
}

// Draws the progress area into the bitmap. Called with csPaint held.
void draw_progress() {
  const int top = progress_top();
  const int bottom = progress_bottom();
  if (bottom <= top) return;
  SelectObject(memdc, hBrushBack);
  PatBlt(memdc, 0, top, maxX, bottom - top + 1, PATCOPY);
  if (!g_progress.active) return;

  char text[64];
  const int length = progress_text(&g_progress, text, sizeof text);
  TextOutA(memdc, kTextLeft, top, text, length);

  RECT frame = {kTextLeft, top + tysize + 2, maxX - 1 - kTextLeft, bottom - 3};
  if (frame.bottom - frame.top < 4 || frame.right - frame.left < 4) return;
  FrameRect(memdc, &frame, hBrushFrame);
  const int inner = frame.right - frame.left - 4;
  const int fill = progress_fill(&g_progress, inner);
  if (fill > 0) {
    RECT bar = {frame.left + 2, frame.top + 2, frame.left + 2 + fill, frame.bottom - 2};
    FillRect(memdc, &bar, hBrushBar);
  }
}

}  // namespace

void init_screen(HWND window, HBRUSH brush) {
  InitializeCriticalSection(&csPaint);
  hBrushBack = brush;
  g_hWnd = window;
  tysize = GetSystemMetrics(SM_CYCAPTION);

  RECT rc;
  GetClientRect(window, &rc);
  maxX = rc.right - rc.left + 1;
  maxY = rc.bottom - rc.top + 1;

  HDC hdc = GetDC(window);
  memdc = CreateCompatibleDC(hdc);
  hBit = CreateCompatibleBitmap(hdc, maxX, maxY);
  SelectObject(memdc, hBit);
  SelectObject(memdc, hBrushBack);
  PatBlt(memdc, 0, 0, maxX, maxY, PATCOPY);
  ReleaseDC(window, hdc);

  hFont1 = CreateFontA(-(4 * tysize) / 5, 0, 0, 0, 0, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, "Arial");
  SelectObject(memdc, hFont1);
  SetTextColor(memdc, kTextColour);
  SetBkColor(memdc, kBackColour);

  hBrushBar = CreateSolidBrush(kBarColour);
  hBrushFrame = CreateSolidBrush(kTextColour);
  progress_reset(&g_progress);
  g_ready.store(true);
}

void display_textout(int line, const char* text) {
  if (!g_ready.load()) return;
  EnterCriticalSection(&csPaint);
  SelectObject(memdc, hBrushBack);
  PatBlt(memdc, 0, line * tysize, maxX, tysize, PATCOPY);
  TextOutA(memdc, kTextLeft, line * tysize, text, lstrlenA(text));
  invalidate_rows(line * tysize, (line + 1) * tysize - 1);
  if (progress_poll(&g_progress, now_ms())) {
    draw_progress();
    invalidate_rows(progress_top(), progress_bottom());
  }
  LeaveCriticalSection(&csPaint);
}

void repaint() {
  PAINTSTRUCT ps;
  if (!g_ready.load()) {
    BeginPaint(g_hWnd, &ps);
    EndPaint(g_hWnd, &ps);
    return;
  }
  EnterCriticalSection(&csPaint);
  HDC hdc = BeginPaint(g_hWnd, &ps);
  BitBlt(hdc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left + 1,
         ps.rcPaint.bottom - ps.rcPaint.top + 1, memdc, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
  EndPaint(g_hWnd, &ps);
  LeaveCriticalSection(&csPaint);
}

void free_screen() {
  if (!g_ready.exchange(false)) return;
  DeleteCriticalSection(&csPaint);
  DeleteDC(memdc);
  DeleteObject(hFont1);
  DeleteObject(hBit);
  DeleteObject(hBrushBar);
  DeleteObject(hBrushFrame);
  memdc = nullptr;
}

void display_progress_begin(int file_size) {
  if (!g_ready.load()) return;
  EnterCriticalSection(&csPaint);
  progress_begin(&g_progress, file_size, now_ms());
  draw_progress();
  invalidate_rows(progress_top(), progress_bottom());
  LeaveCriticalSection(&csPaint);
}

void display_progress_end() {
  if (!g_ready.load()) return;
  EnterCriticalSection(&csPaint);
  progress_end(&g_progress);
  draw_progress();
  invalidate_rows(progress_top(), progress_bottom());
  LeaveCriticalSection(&csPaint);
}

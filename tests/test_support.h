#pragma once
// What the tests install in place of a front end: sinks that record every
// message box, display line and posted notice, and a temporary working folder.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/host.h"

struct RecordedBox {
  WindowHandle owner;
  std::string text;
  std::string caption;  // "(null)" when the caption was null
  unsigned style;
};

struct RecordedNotice {
  WindowHandle window;
  int id;
  intptr_t lparam;
  int idle_when_posted;  // query_tfr_stop() at the moment of posting
};

// Records everything the program reports. One instance is installed at a time.
class HostRecorder {
 public:
  HostRecorder();
  ~HostRecorder();
  HostRecorder(const HostRecorder&) = delete;
  HostRecorder& operator=(const HostRecorder&) = delete;

  std::vector<RecordedBox> boxes() const;
  std::vector<RecordedNotice> notices() const;
  std::string line(int n) const;
  // Every text written to line n, in order.
  std::vector<std::string> line_history(int n) const;

  // Waits until `pred` holds over the notices, or the deadline passes.
  bool wait_for_notice(const std::function<bool(const std::vector<RecordedNotice>&)>& pred,
                       std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;

  // Waits until some text written to line n begins with `prefix`, or the deadline passes.
  bool wait_for_line(int n, const std::string& prefix,
                     std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;

  // Runs `hook` on the posting thread as each notice is posted, before it is
  // recorded and before the poster goes on: a test can act at an exact step
  // of the transfer.
  void set_post_hook(std::function<void(int id, intptr_t lparam)> hook);
  // The same for each display line written, on the writing thread.
  void set_line_hook(std::function<void(int line, const std::string& text)> hook);

  void set_desktop(int right, int bottom);
  void set_window_origin(int left, int top);

 private:
  static int on_box(WindowHandle, const char*, const char*, unsigned);
  static void on_textout(int, const char*);
  static void on_post(WindowHandle, int, intptr_t);
  static void on_origin(WindowHandle, int*, int*);
  static void on_desktop(int*, int*);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<RecordedBox> boxes_;
  std::vector<RecordedNotice> notices_;
  std::function<void(int, intptr_t)> post_hook_;
  std::function<void(int, const std::string&)> line_hook_;
  std::vector<std::string> history_[6];
  int desktop_right_ = 1 << 20, desktop_bottom_ = 1 << 20;
  int origin_left_ = 0, origin_top_ = 0;
};

// A fresh folder made the working directory for the test's life.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;
};

// The Set Mode message for system software, as the program sends it first.
inline const std::vector<unsigned char> kSetModeSystemMessage{0xF0, 0x42, 0x23, 0x58, 0x02, 0x00, 0xF7};

std::string read_file_bytes(const std::string& path);
void write_file_bytes(const std::string& path, const std::string& bytes);
// An update file of the right size for attr_code with the header at offset 0
// (or at 2048 when header_at_2048), filled with a repeatable pattern.
std::string make_update_image(int attr_code, int major, int minor, bool header_at_2048 = false,
                              unsigned seed = 1);

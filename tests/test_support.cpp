#include "tests/test_support.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <utility>

#include "engine/transfer.h"
#include "engine/update_file.h"

namespace fs = std::filesystem;

namespace {
HostRecorder* g_recorder = nullptr;
}

HostRecorder::HostRecorder() {
  g_recorder = this;
  host_install({on_box, on_textout, on_post, on_origin, on_desktop, nullptr});
}

HostRecorder::~HostRecorder() {
  host_reset();
  g_recorder = nullptr;
}

int HostRecorder::on_box(WindowHandle owner, const char* text, const char* caption,
                         unsigned style) {
  std::lock_guard<std::mutex> lock(g_recorder->mutex_);
  g_recorder->boxes_.push_back({owner, text ? text : "", caption ? caption : "(null)", style});
  g_recorder->changed_.notify_all();
  return 1;
}

void HostRecorder::on_textout(int line, const char* text) {
  std::function<void(int, const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(g_recorder->mutex_);
    hook = g_recorder->line_hook_;
  }
  if (hook) hook(line, text);
  std::lock_guard<std::mutex> lock(g_recorder->mutex_);
  if (line >= 0 && line < 6) g_recorder->history_[line].push_back(text);
  g_recorder->changed_.notify_all();
}

void HostRecorder::on_post(WindowHandle window, int id, intptr_t lparam) {
  std::function<void(int, intptr_t)> hook;
  {
    std::lock_guard<std::mutex> lock(g_recorder->mutex_);
    hook = g_recorder->post_hook_;
  }
  // The hook runs first: once the notice is recorded, a waiting test may end
  // and destroy the recorder.
  if (hook) hook(id, lparam);
  std::lock_guard<std::mutex> lock(g_recorder->mutex_);
  g_recorder->notices_.push_back({window, id, lparam, query_tfr_stop()});
  g_recorder->changed_.notify_all();
}

void HostRecorder::set_post_hook(std::function<void(int id, intptr_t lparam)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  post_hook_ = std::move(hook);
}

void HostRecorder::set_line_hook(std::function<void(int, const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  line_hook_ = std::move(hook);
}

void HostRecorder::on_origin(WindowHandle, int* left, int* top) {
  std::lock_guard<std::mutex> lock(g_recorder->mutex_);
  *left = g_recorder->origin_left_;
  *top = g_recorder->origin_top_;
}

void HostRecorder::on_desktop(int* right, int* bottom) {
  std::lock_guard<std::mutex> lock(g_recorder->mutex_);
  *right = g_recorder->desktop_right_;
  *bottom = g_recorder->desktop_bottom_;
}

std::vector<RecordedBox> HostRecorder::boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

std::vector<RecordedNotice> HostRecorder::notices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return notices_;
}

std::string HostRecorder::line(int n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return history_[n].empty() ? std::string() : history_[n].back();
}

std::vector<std::string> HostRecorder::line_history(int n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return history_[n];
}

bool HostRecorder::wait_for_notice(
    const std::function<bool(const std::vector<RecordedNotice>&)>& pred,
    std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return pred(notices_); });
}

bool HostRecorder::wait_for_line(int n, const std::string& prefix,
                                 std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] {
    for (const auto& text : history_[n]) {
      if (text.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  });
}

void HostRecorder::set_desktop(int right, int bottom) {
  std::lock_guard<std::mutex> lock(mutex_);
  desktop_right_ = right;
  desktop_bottom_ = bottom;
}

void HostRecorder::set_window_origin(int left, int top) {
  std::lock_guard<std::mutex> lock(mutex_);
  origin_left_ = left;
  origin_top_ = top;
}

TempDir::TempDir() {
  previous_ = fs::current_path().string();
  static std::mt19937_64 rng{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("xrtest-" + std::to_string(rng()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.string();
      fs::current_path(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::current_path(previous_, ec);
  fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return (fs::path(path_) / name).string(); }

std::string read_file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string make_update_image(int attr_code, int major, int minor, bool header_at_2048,
                              unsigned seed) {
  int size = required_file_size(attr_code);
  if (size == 0) size = 262144;
  std::string image(static_cast<size_t>(size), '\0');
  std::mt19937 rng(seed);
  for (auto& c : image) c = static_cast<char>(rng() & 0xFF);
  size_t at = header_at_2048 ? 2048 : 0;
  if (header_at_2048) image[0] = 'X';  // no tag at offset 0
  image[at + 0] = 'P';
  image[at + 1] = 'E';
  image[at + 2] = 'L';
  image[at + 3] = 'D';
  image[at + 4] = static_cast<char>(major);
  image[at + 5] = static_cast<char>(minor);
  image[at + 6] = static_cast<char>(kProductId);
  image[at + 7] = static_cast<char>(attr_code);
  return image;
}

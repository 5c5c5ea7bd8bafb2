#include "ui/notice_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>

namespace {

std::mutex g_mutex;
std::deque<Notice> g_queue;
bool g_open = false;
// The pipe is made once and kept to the process's end: a late write (a signal
// handler or a thread that read the descriptor just before the close) can then
// never reach a descriptor opened in its place.
int g_read_fd = -1;
int g_pipe_write_fd = -1;
// What wakes write to, read by signal handlers: a lock-free atomic, -1 while closed.
std::atomic<int> g_write_fd{-1};

}  // namespace

int notices_open() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_read_fd < 0) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return 0;
    g_read_fd = fds[0];
    g_pipe_write_fd = fds[1];
  }
  g_queue.clear();
  g_write_fd.store(g_pipe_write_fd);
  g_open = true;
  return 1;
}

void notices_close() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_open = false;
  g_queue.clear();
  g_write_fd.store(-1);
}

void notices_post(int id, intptr_t lparam) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_open) return;
  g_queue.push_back(Notice{id, lparam});
  notices_wake();
}

bool notices_take(Notice* notice) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_queue.empty()) return false;
  *notice = g_queue.front();
  g_queue.pop_front();
  return true;
}

void notices_clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_queue.clear();
}

void notices_wake() {
  const int fd = g_write_fd.load();
  if (fd < 0) return;
  const int saved = errno;
  const char byte = 1;
  const ssize_t ignored = write(fd, &byte, 1);  // a full pipe already wakes the waiter
  (void)ignored;
  errno = saved;
}

int notices_wake_fd() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_open ? g_read_fd : -1;
}

void notices_drain() {
  const int fd = notices_wake_fd();
  if (fd < 0) return;
  char buffer[64];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

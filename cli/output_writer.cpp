#include "cli/output_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// More than this many lines waiting: the oldest go, with a note where they were.
constexpr std::size_t kMaxQueued = 4096;

struct Item {
  OutputStream stream;
  std::string text;  // with its line break
};

// Kept for the life of the process: the writer thread may still be blocked in a
// write when the program ends, and must find its state intact.
struct Writer {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Item> queue;
  std::string progress;        // the newest progress text, "" for none
  bool progress_pending = false;
  std::size_t dropped = 0;
  bool running = false;
  bool busy = false;           // the thread is writing something it took
  // Set before the writer starts.
  bool stderr_terminal = false;
  bool same_terminal = false;  // stdout and stderr are one terminal
  std::atomic<bool> progress_shown{false};  // a progress line stands at the bottom of the terminal
  std::atomic<bool> dead[3] = {{false}, {false}, {false}};  // a stream given up
};

Writer* g_writer = new Writer;

// The whole text on `fd`; false (and the stream is given up) when it cannot be written.
bool write_all(int fd, const std::string& text) {
  if (g_writer->dead[fd]) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    g_writer->dead[fd] = true;  // a closed or broken stream: the rest is dropped
    return false;
  }
  return true;
}

void erase_progress() {
  if (!g_writer->progress_shown) return;
  write_all(kStderr, "\r\033[K");
  g_writer->progress_shown = false;
}

void draw_progress(const std::string& text) {
  if (g_writer->stderr_terminal) {
    if (text.empty()) {
      erase_progress();
      return;
    }
    write_all(kStderr, "\r" + text + "\033[K");
    g_writer->progress_shown = true;
  } else if (!text.empty()) {
    write_all(kStderr, text + "\n");
  }
}

void write_item(const Item& item, const std::string& progress) {
  const bool covers = item.stream == kStderr || g_writer->same_terminal;
  const bool redraw = g_writer->progress_shown && covers;
  if (redraw) erase_progress();
  write_all(item.stream, item.text);
  if (redraw) draw_progress(progress);
}

void run_writer() {
  Writer& w = *g_writer;
  std::unique_lock<std::mutex> lock(w.mutex);
  for (;;) {
    w.changed.wait(lock, [&] { return !w.running || !w.queue.empty() || w.progress_pending || w.dropped; });
    if (!w.running && w.queue.empty() && !w.progress_pending && !w.dropped) return;
    std::deque<Item> items;
    items.swap(w.queue);
    if (w.dropped) {
      items.push_front(Item{kStderr, "xrupdate: " + std::to_string(w.dropped) +
                                         " lines of output were dropped: the output did not take them in time\n"});
      w.dropped = 0;
    }
    const bool progress_changed = w.progress_pending;
    w.progress_pending = false;
    const std::string progress = w.progress;
    w.busy = true;
    lock.unlock();
    for (const Item& item : items) write_item(item, progress);
    if (progress_changed) draw_progress(progress);
    lock.lock();
    w.busy = false;
    w.changed.notify_all();
  }
}

}  // namespace

void output_start() {
  Writer& w = *g_writer;
  struct stat out_st, err_st;
  w.stderr_terminal = isatty(kStderr) == 1;
  w.same_terminal = w.stderr_terminal && isatty(kStdout) == 1 && fstat(kStdout, &out_st) == 0 &&
                    fstat(kStderr, &err_st) == 0 && out_st.st_rdev == err_st.st_rdev;
  std::lock_guard<std::mutex> lock(w.mutex);
  if (w.running) return;
  w.running = true;
  std::thread(run_writer).detach();
}

void output_line(OutputStream stream, const std::string& line) {
  Writer& w = *g_writer;
  std::unique_lock<std::mutex> lock(w.mutex);
  if (!w.running) {
    lock.unlock();
    write_item(Item{stream, line + "\n"}, w.progress);
    return;
  }
  if (w.queue.size() >= kMaxQueued) {
    w.queue.pop_front();
    ++w.dropped;
  }
  w.queue.push_back(Item{stream, line + "\n"});
  w.changed.notify_all();
}

void output_progress(const std::string& text) {
  Writer& w = *g_writer;
  std::unique_lock<std::mutex> lock(w.mutex);
  // Off a terminal a clear draws nothing: it must not take the place of a
  // text the writer has not yet written (the last "Packet N of N" of a run).
  if (text == w.progress || (text.empty() && !w.stderr_terminal)) return;
  w.progress = text;
  if (!w.running) {
    lock.unlock();
    draw_progress(text);
    return;
  }
  w.progress_pending = true;
  w.changed.notify_all();
}

bool output_finish(int wait_ms) {
  Writer& w = *g_writer;
  std::unique_lock<std::mutex> lock(w.mutex);
  if (!w.running) return true;
  w.running = false;
  w.changed.notify_all();
  const bool done = w.changed.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] {
    return w.queue.empty() && !w.progress_pending && !w.dropped && !w.busy;
  });
  if (!done) {
    // The writer is stuck on a stream that takes nothing: what is left is dropped,
    // and the stuck stream is not written again.
    w.queue.clear();
    w.progress_pending = false;
    w.dead[kStdout] = w.dead[kStderr] = true;
  }
  return done;
}

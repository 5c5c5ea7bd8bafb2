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

// A stream further behind than this many lines has its repeated display lines left out.
constexpr std::size_t kMaxQueued = 1024;
// Display lines are numbered 0..5; the note where some were left out counts as a 7th.
constexpr int kNoteNumber = 6;

struct Item {
  int fd;
  std::string text;       // with its line break
  int display = -1;       // a display line's number, -1 for a line that is never left out
  bool progress = false;  // a progress text off a terminal: only the newest is kept
};

// One writer thread and what it has still to write.
struct Channel {
  std::deque<Item> queue;
  bool busy = false;  // the thread is writing items it took
  bool running = false;
};

// Kept for the life of the process: a writer thread may still be blocked in a
// write when the program ends, and must find its state intact.
struct Writer {
  std::mutex mutex;
  std::condition_variable changed;
  Channel channels[2];  // [0] stdout, [1] stderr (and stdout too when both are one file)
  bool merged = false;
  std::string progress;  // on a terminal: the newest progress text, "" for none
  bool progress_pending = false;
  // Set before the writers start.
  bool stderr_terminal = false;
  std::atomic<int> progress_shown{0};  // how many progress lines stand at the bottom of the terminal
  std::atomic<bool> dead[3] = {{false}, {false}, {false}};  // a stream given up
};

Writer* g_writer = new Writer;
bool g_records = false;  // every line is a record on stdout (set before the writers start)

Channel& channel_of(Writer& w, int fd) { return w.channels[fd == kStdout && !w.merged ? 0 : 1]; }

// The whole text on `fd`; false (and the stream is given up) when it cannot be written.
bool write_all(int fd, const std::string& text) {
  if (g_writer->dead[fd]) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    if (g_writer->dead[fd]) return false;  // given up while this write waited
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
  const int lines = g_writer->progress_shown.exchange(0);
  if (lines == 0) return;
  // Back to the first of the progress lines, and everything from there cleared.
  write_all(kStderr, lines > 1 ? "\r\033[" + std::to_string(lines - 1) + "A\033[J" : std::string("\r\033[K"));
}

// On a terminal only: the progress, one line or several (one per instrument),
// redrawn in place, or cleared.
void draw_progress(const std::string& text) {
  if (text.empty()) {
    erase_progress();
    return;
  }
  std::string out;
  int lines = 1;
  for (char c : text) {
    if (c == '\n') {
      out += "\033[K\n";
      ++lines;
    } else {
      out += c;
    }
  }
  // One line over one line is overwritten in place; otherwise the old lines go first.
  if (lines > 1 || g_writer->progress_shown > 1) erase_progress();
  write_all(kStderr, "\r" + out + "\033[K");
  g_writer->progress_shown = lines;
}

// A line printed above the terminal's progress line, which is drawn again under it.
void write_item(const Item& item, const std::string& progress) {
  const bool covers = item.fd == kStderr || g_writer->merged;
  const bool redraw = g_writer->progress_shown && covers;
  if (redraw) erase_progress();
  write_all(item.fd, item.text);
  if (redraw) draw_progress(progress);
}

// Far behind: display lines that a later line of the same number repeats are
// left out, with one note in the place of the first of them.
void coalesce(std::deque<Item>* queue) {
  bool later[3][kNoteNumber + 1] = {};
  std::size_t left_out = 0, first = 0;
  int first_fd = kStderr;
  std::deque<Item> kept;
  for (auto it = queue->rbegin(); it != queue->rend(); ++it) {
    if (it->display >= 0) {
      bool& seen = later[it->fd][it->display];
      if (seen) {
        ++left_out;
        first = kept.size();
        first_fd = it->fd;
        continue;
      }
      seen = true;
    }
    kept.push_front(std::move(*it));
  }
  if (left_out == 0) {
    queue->swap(kept);  // the items were moved into `kept`: all of them stay
    return;
  }
  const auto at = kept.end() - static_cast<std::ptrdiff_t>(first);
  // The note goes with the lines it stands for; one that follows says it already.
  if (!later[first_fd][kNoteNumber]) {
    kept.insert(at, Item{first_fd, "xrupdate: display lines were left out here: the output did not take them in time\n",
                         kNoteNumber, false});
  }
  queue->swap(kept);
}

void run_channel(Channel* channel, bool draws_progress) {
  Writer& w = *g_writer;
  std::unique_lock<std::mutex> lock(w.mutex);
  for (;;) {
    const bool progress_due = draws_progress && w.progress_pending;
    if (channel->queue.empty() && !progress_due) {
      if (!channel->running) return;
      w.changed.wait(lock);
      continue;
    }
    std::deque<Item> items;
    items.swap(channel->queue);
    if (draws_progress) w.progress_pending = false;
    const std::string progress = w.progress;
    channel->busy = true;
    lock.unlock();
    for (const Item& item : items) write_item(item, progress);
    if (progress_due) draw_progress(progress);
    lock.lock();
    channel->busy = false;
    w.changed.notify_all();
  }
}

bool one_file(int a, int b) {
  struct stat sa, sb;
  if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0) return false;
  if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode) && sa.st_rdev == sb.st_rdev) return true;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void queue_item(Item item) {
  Writer& w = *g_writer;
  std::unique_lock<std::mutex> lock(w.mutex);
  Channel& channel = channel_of(w, item.fd);
  if (!channel.running) {
    lock.unlock();
    write_item(item, w.progress);
    return;
  }
  if (item.progress) {
    // Only the newest progress text waits, after every line queued before it.
    for (auto it = channel.queue.begin(); it != channel.queue.end(); ++it) {
      if (it->progress) {
        channel.queue.erase(it);
        break;
      }
    }
  }
  channel.queue.push_back(std::move(item));
  if (channel.queue.size() > kMaxQueued) coalesce(&channel.queue);
  w.changed.notify_all();
}

}  // namespace

void output_start() {
  Writer& w = *g_writer;
  std::lock_guard<std::mutex> lock(w.mutex);
  if (w.channels[1].running) return;
  w.stderr_terminal = isatty(kStderr) == 1;
  w.merged = one_file(kStdout, kStderr);
  w.channels[1].running = true;
  std::thread(run_channel, &w.channels[1], w.stderr_terminal).detach();
  if (!w.merged) {
    w.channels[0].running = true;
    std::thread(run_channel, &w.channels[0], false).detach();
  }
}

namespace {

// The line as it is written: itself, or its record for the runner.
Item line_item(OutputStream stream, const std::string& line, int display) {
  if (!g_records) return Item{stream, line + "\n", display, false};
  return Item{kStdout, std::string(1, kRecordMark) + (stream == kStdout ? "1" : "2") + "\t" + line + "\n", display,
              false};
}

}  // namespace

void output_as_records() { g_records = true; }

void output_record(const std::string& kind, const std::string& text, bool newest_only) {
  Item item{kStdout, std::string(1, kRecordMark) + kind + "\t" + text + "\n", -1, newest_only};
  queue_item(std::move(item));
}

void output_line(OutputStream stream, const std::string& line) { queue_item(line_item(stream, line, -1)); }

void output_display_line(OutputStream stream, int number, const std::string& line) {
  queue_item(line_item(stream, line, number >= 0 && number < kNoteNumber ? number : -1));
}

void output_progress(const std::string& text) {
  Writer& w = *g_writer;
  if (g_records) return;
  if (!w.stderr_terminal) {
    // Off a terminal a clear draws nothing: it must not take the place of a
    // text not yet written (the last "Packet N of N" of a run).
    if (text.empty()) return;
    {
      std::lock_guard<std::mutex> lock(w.mutex);
      if (text == w.progress) return;
      w.progress = text;
    }
    queue_item(Item{kStderr, text + "\n", -1, true});
    return;
  }
  std::unique_lock<std::mutex> lock(w.mutex);
  if (text == w.progress) return;
  w.progress = text;
  if (!w.channels[1].running) {
    lock.unlock();
    draw_progress(text);
    return;
  }
  w.progress_pending = true;
  w.changed.notify_all();
}

bool output_finish(bool (*give_up)()) {
  Writer& w = *g_writer;
  std::unique_lock<std::mutex> lock(w.mutex);
  if (!w.channels[1].running) return true;
  w.channels[0].running = w.channels[1].running = false;
  w.changed.notify_all();
  const auto written = [&] {
    for (const Channel& c : w.channels) {
      if (c.busy) return false;
      // A given-up stream's lines are not waited for.
      for (const Item& item : c.queue) {
        if (!w.dead[item.fd]) return false;
      }
    }
    return !w.progress_pending || w.dead[kStderr];
  };
  for (;;) {
    if (w.changed.wait_for(lock, std::chrono::milliseconds(50), written)) break;
    if (give_up != nullptr && give_up()) {
      // The user asked twice: what is left is dropped, and the stuck streams
      // are not written again.
      for (Channel& c : w.channels) c.queue.clear();
      w.progress_pending = false;
      w.dead[kStdout] = w.dead[kStderr] = true;
      return false;
    }
  }
  bool complete = !w.dead[kStdout] && !w.dead[kStderr];
  for (Channel& c : w.channels) {
    complete = complete && c.queue.empty();
    c.queue.clear();
  }
  return complete;
}

#include "ui/term/front_end.h"

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/transfer.h"
#include "engine/update_file.h"
#include "link/midi_link.h"
#include "link/serial_devices.h"
#include "link/serial_link.h"
#include "support/command_ids.h"
#include "support/program_info.h"
#include "support/settings.h"
#include "support/support_log.h"
#include "ui/command_line.h"
#include "ui/main_window_logic.h"
#include "ui/progress.h"
#include "support/clock.h"
#include "ui/link_choice.h"
#include "ui/notice_queue.h"
#include "ui/printable.h"
#include "ui/program_startup.h"
#include "ui/single_copy.h"
#include "ui/term/form_parts.h"
#include "ui/term/term_forms.h"
#include "ui/term/term_loop.h"
#include "ui/term/term_screen.h"
#include "ui/transfer_start.h"

namespace {

// What the main loop gets besides keys.
constexpr int kKeyClose = 0x7010;        // SIGINT: close as "&Exit" does
constexpr int kKeyTerminate = 0x7011;    // SIGTERM: stop the transfer and end
constexpr int kKeyQuit = 0x7012;         // the terminal has gone and nothing runs
constexpr int kKeyCommandLine = 0x7013;  // the start of the command line's transfer
constexpr int kCtrlL = 12;

constexpr int kTickMs = 100;   // timer 2
constexpr int kFlashMs = 500;  // timer 1

int g_window_tag;  // the front end's stand-in for the main window
WindowHandle const kWindow = &g_window_tag;

// ---- shared with the transfer thread (and the MIDI driver's thread)

struct BoxRequest {
  std::string text;
  std::string caption;
  bool has_caption = false;
  bool done = false;
};

std::mutex g_mutex;
std::condition_variable g_box_answered;
std::string g_lines[6];
ProgressState g_progress;
std::deque<std::shared_ptr<BoxRequest>> g_boxes;
bool g_ui_blocked = false;  // the user-interface thread waits for the transfer thread
bool g_dirty = true;
// The transfer thread may post its end notice after it has set the idle state
// that lets the program end: once closed, the sinks take nothing more.
bool g_closed = false;
std::thread::id g_ui_thread;

volatile std::sig_atomic_t g_sig_winch = 0;
volatile std::sig_atomic_t g_sig_int = 0;
volatile std::sig_atomic_t g_sig_term = 0;
volatile std::sig_atomic_t g_sig_hup = 0;

// ---- the user-interface thread's own

MainWindowState g_state;
bool g_cmdline_pending = false;
bool g_input_gone = false;
int g_stdin_idle_reads = 0;
bool g_stdin_ready = false;
bool g_focus_known = false;
bool g_focused = true;
std::int64_t g_next_tick = 0;
std::int64_t g_next_flash = 0;
std::vector<std::pair<void (*)(void*), void*>> g_overlays;
HandoverConnection g_connection;
bool g_started = false;  // start-up has read the settings: the link line can be shown
std::int64_t g_accept_paused_until = 0;
// The link named on the command line, used until the user chooses one in
// Config... (OK); then the settings' link is used.
LinkChoice g_choice;
bool g_use_choice = false;
bool g_ports_probed = false;  // COM1..COM4 probed (not at start-up when a link was named)

// The link the next transfer goes out on.
LinkTarget link_in_use() { return g_use_choice ? link_choice_target(g_choice) : settings_link_target(); }

// A serial device named by path on the command line opens (COM1..COM4 name the
// settings' devices, which start-up tries). Else one line says why: 0.
bool named_device_opens() {
  if (!g_choice.serial || com_port_number(g_choice.serial_device.c_str()) != 0) return true;
  char why[400];
  if (serial_device_probe(g_choice.serial_device.c_str(), why, sizeof why)) return true;
  std::fprintf(stderr, "xrupdate: --port %s: %s; no other port is used\n",
               printable_text(g_choice.serial_device).c_str(), why);
  return false;
}

// Wakes the loop. Async-signal-safe.
void wake() { notices_wake(); }

void on_signal(int signal_number) {
  const int saved = errno;
  switch (signal_number) {
    case SIGWINCH:
      g_sig_winch = 1;
      break;
    case SIGINT:
      g_sig_int = 1;
      break;
    case SIGTERM:
      g_sig_term = 1;
      break;
    case SIGHUP:
      g_sig_hup = 1;
      break;
    default:
      break;
  }
  wake();
  errno = saved;
}

const int kHandledSignals[] = {SIGWINCH, SIGINT, SIGTERM, SIGHUP};

void install_signals() {
  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int s : kHandledSignals) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// ---- sinks

void sink_textout(int line, const char* text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_closed) return;
  if (line >= 0 && line < 6) g_lines[line] = text != nullptr ? text : "";
  progress_poll(&g_progress, now_ms());
  g_dirty = true;
  wake();
}

void sink_post(WindowHandle, int id, intptr_t lparam) { notices_post(id, lparam); }

int sink_message_box(WindowHandle, const char* text, const char* caption, unsigned) {
  if (std::this_thread::get_id() == g_ui_thread) {
    if (screen_is_open()) return form_message_box(text, caption);
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error", text != nullptr ? text : "");
    return 1;
  }
  // Another thread: the user-interface thread shows it; this one waits for the OK,
  // unless the user-interface thread is itself waiting for this thread to end.
  auto request = std::make_shared<BoxRequest>();
  request->text = text != nullptr ? text : "";
  request->has_caption = caption != nullptr;
  request->caption = caption != nullptr ? caption : "";
  std::unique_lock<std::mutex> lock(g_mutex);
  if (g_closed) return 1;
  g_boxes.push_back(request);
  wake();
  g_box_answered.wait(lock, [&] { return request->done || g_ui_blocked; });
  return 1;
}

void sink_origin(WindowHandle, int* left, int* top) {
  *left = xpos;
  *top = ypos;
}

// ---- what the loop does besides waiting


void redraw() {
  MainView view;
  view.link = g_started ? "Link: " + link_in_use_text(link_in_use()) : "";
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int i = 0; i < 6; ++i) view.lines[i] = g_lines[i];
    char text[128];
    progress_text(&g_progress, text, sizeof text);
    view.progress = text;
    view.progress_fill = progress_fill(&g_progress, kProgressBarWidth);
    g_dirty = false;
  }
  view.update_enabled = g_state.menu.update;
  view.stop_enabled = g_state.menu.stop;
  view.config_enabled = g_state.menu.config;
  view.title_marked = g_state.wf_status == 1 ? 1 : 0;
  screen_draw_main(view);
  if (screen_fits()) {
    for (const auto& overlay : g_overlays) overlay.first(overlay.second);
  }
  screen_flush();
}

void invalidate() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_dirty = true;
}

void start_transfer(const char* path) {
  // The transfer thread takes the signal mask of the thread that starts it: the
  // signals stay with this thread, whose loop they wake.
  sigset_t handled, previous;
  sigemptyset(&handled);
  for (int s : kHandledSignals) sigaddset(&handled, s);
  pthread_sigmask(SIG_BLOCK, &handled, &previous);
  const int started = tx_start(kWindow, path, link_in_use());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started) mw_transfer_started(&g_state);
  invalidate();
}

void transfer_ended() {
  tx_end();
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    progress_end(&g_progress);
  }
  const int has_focus = g_focus_known ? (g_focused ? 1 : 0) : 1;
  if (mw_transfer_ended(&g_state, has_focus)) g_next_flash = now_ms() + kFlashMs;
  // Where the terminal does not tell its focus, a bell is all the attention there is.
  if (!has_focus || !g_focus_known) screen_bell();
  invalidate();
}

void process_notices() {
  Notice notice;
  while (notices_take(&notice)) {
    switch (main_command(notice.id)) {
      case kCmdTransferEnd:
        transfer_ended();
        break;
      case kCmdStopEnable:
        mw_stop_enable(&g_state, static_cast<long>(notice.lparam));
        if (notice.lparam != 0) {
          std::lock_guard<std::mutex> lock(g_mutex);
          progress_begin(&g_progress, datafile.size, now_ms());
        }
        invalidate();
        break;
      default:
        break;  // nothing else is posted to this window
    }
  }
}

void show_requested_boxes() {
  for (;;) {
    std::shared_ptr<BoxRequest> request;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (g_boxes.empty()) return;
      request = g_boxes.front();
      g_boxes.pop_front();
    }
    form_message_box(request->text.c_str(), request->has_caption ? request->caption.c_str() : nullptr);
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      request->done = true;
    }
    g_box_answered.notify_all();
  }
}

void gain_focus() {
  g_focused = true;
  if (mw_focus_gained(&g_state)) invalidate();
}

void on_handover_record(const HandoverRecord& record, void* context) {
  const HandoverConnection* connection = static_cast<const HandoverConnection*>(context);
  if (record.id == IDM_RXW_FILENAME) {
    // A piece with a zero byte ends the path: the second copy waits to hear of it.
    bool last = false;
    for (int b = 0; b < 4; ++b) last = last || ((record.bytes >> (8 * b)) & 0xFF) == 0;
    const bool busy = g_state.tx_flag != 0;
    const bool held_before = g_state.held_path[0] != '\0';
    if (mw_handover_piece(&g_state, record.offset, record.bytes)) {
      char path[kHandoverBufferSize];
      std::memcpy(path, g_state.handover.rxw_filename, sizeof path);
      path[sizeof path - 1] = '\0';
      start_transfer(path);
      if (last) handover_answer(connection, g_state.tx_flag != 0 ? kHandoverAnswerTaken : kHandoverAnswerNotStarted);
    } else if (last) {
      const bool held = !held_before && g_state.held_path[0] != '\0';
      handover_answer(connection, busy ? kHandoverAnswerBusy : held ? kHandoverAnswerTaken : kHandoverAnswerNotStarted);
    }
  } else if (record.id == kHandoverLinkRequest) {
    // A start that names a link of its own asks which link this copy uses, to tell its user.
    std::string text = link_in_use_text(link_in_use());
    if (g_state.tx_flag != 0) text += "; a transfer runs";
    handover_answer_link(connection, text.c_str());
  } else if (record.id == kHandoverForeground) {
    // A terminal cannot be raised; the bell calls the user to it.
    screen_bell();
  }
}

void service_handover(std::int64_t now) {
  if (g_connection.fd < 0 && now >= g_accept_paused_until) {
    const int accepted = handover_accept(single_copy_listen_fd(), &g_connection, now);
    if (accepted > 0) handover_reset(&g_state.handover);
    // Out of descriptors or the like: try again a little later rather than spin.
    if (accepted < 0) g_accept_paused_until = now + 200;
  }
  if (g_connection.fd >= 0) handover_read(&g_connection, now, on_handover_record, &g_connection);
}

void run_timers(std::int64_t now) {
  // Like window timers, a late tick is one tick, not a burst.
  if (now >= g_next_tick) {
    add_midi_time();
    g_next_tick = now + kTickMs;
  }
  if (g_state.wf_status != -1 && now >= g_next_flash) {
    mw_flash_tick(&g_state);
    g_next_flash = now + kFlashMs;
    invalidate();
  }
}

bool dirty() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_dirty;
}

// One turn after another until there is a key for the caller. The main level also
// serves second copies and gets the loop's own events as keys.
int pump(bool main_level) {
  for (;;) {
    if (g_sig_winch) {
      g_sig_winch = 0;
      screen_resize();
      invalidate();
    }
    process_notices();
    show_requested_boxes();
    const std::int64_t now = now_ms();
    if (main_level) service_handover(now);
    run_timers(now);
    if (dirty()) redraw();

    const bool gone = g_input_gone || g_sig_hup;
    if (main_level) {
      if (g_sig_term) return kKeyTerminate;
      // Without a keyboard nobody can answer; a running update is let finish.
      if (gone && query_tfr_stop()) return kKeyQuit;
      if (g_sig_int) {
        g_sig_int = 0;
        return kKeyClose;
      }
      if (g_cmdline_pending) {
        g_cmdline_pending = false;
        return kKeyCommandLine;
      }
    } else if (g_sig_term || gone) {
      return kKeyCancelForm;
    }

    if (!gone) {
      const int key = screen_read_key();
      if (key != kKeyNone) {
        g_stdin_idle_reads = 0;
        if (key == kKeyFocusIn || key == kKeyFocusOut) {
          g_focus_known = true;
          if (key == kKeyFocusIn) {
            gain_focus();
          } else {
            g_focused = false;
          }
          continue;
        }
        if (key == KEY_RESIZE || key == kKeySwallowed) {
          invalidate();
          continue;
        }
        gain_focus();  // whoever types is looking at it
        if (!screen_fits() && key != kCtrlC) continue;
        return key;
      }
      // Readable but nothing to read, again and again: end of input.
      if (g_stdin_ready && ++g_stdin_idle_reads >= 3) {
        g_input_gone = true;
        continue;
      }
    }

    pollfd fds[3];
    int count = 0;
    fds[count++] = pollfd{notices_wake_fd(), POLLIN, 0};
    const int stdin_index = gone ? -1 : count;
    if (!gone) fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    std::int64_t deadline = g_next_tick;
    if (g_state.wf_status != -1 && g_next_flash < deadline) deadline = g_next_flash;
    if (main_level) {
      if (g_connection.fd >= 0) {
        fds[count++] = pollfd{g_connection.fd, POLLIN, 0};
        if (g_connection.deadline_ms < deadline) deadline = g_connection.deadline_ms;
      } else if (single_copy_listen_fd() >= 0 && now >= g_accept_paused_until) {
        fds[count++] = pollfd{single_copy_listen_fd(), POLLIN, 0};
      }
    }
    std::int64_t wait = deadline - now_ms();
    if (wait < 0) wait = 0;
    if (wait > 1000) wait = 1000;
    const int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait));
    g_stdin_ready = false;
    if (ready > 0) {
      if (fds[0].revents != 0) notices_drain();
      if (stdin_index >= 0) {
        const short events = fds[stdin_index].revents;
        if (events & POLLIN) {
          g_stdin_ready = true;
        } else if (events & (POLLHUP | POLLERR | POLLNVAL)) {
          g_input_gone = true;
        }
      }
    }
  }
}

bool close_window() {
  if (!query_tfr_stop() && !form_stop_dialog()) return false;  // "Continue": the transfer goes on
  tx_close_all();  // a MIDI link is closed on this path too
  return true;
}

void main_loop() {
  for (;;) {
    const int key = pump(true);
    switch (key) {
      case 'e':
      case 'E':
      case kCtrlC:
      case kKeyClose:
        if (close_window()) return;
        break;
      case 'u':
      case 'U':
        if (g_state.menu.update) {
          char path[kFilenameSize];  // the transfer's own path buffer: what fits is sent whole
          if (form_open_file(path, sizeof path)) start_transfer(path);
        }
        break;
      case 's':
      case 'S':
        if (g_state.menu.stop) form_stop_dialog();
        break;
      case 'c':
      case 'C':
        if (g_state.menu.config) {
          // The ports the form offers are the ones that open; a run whose link
          // was named opened no other device at start-up.
          if (!g_ports_probed) {
            check_comm(comm_status);
            g_ports_probed = true;
          }
          // OK there: the user's choice, which is the settings' link, from now on.
          if (form_config_dialog()) g_use_choice = false;
          invalidate();
        }
        break;
      case kCtrlL:
        clearok(curscr, TRUE);
        invalidate();
        break;
      case kKeyCommandLine:
        if (mw_may_start_transfer(&g_state)) start_transfer(cl.path);
        break;
      case kKeyTerminate:
        if (!query_tfr_stop()) {
          stop_dialog_opened();
          loop_abort_transfer();
        }
        tx_close_all();
        return;
      case kKeyQuit:
        tx_close_all();
        return;
      default:
        break;  // keys that name no command
    }
  }
}

}  // namespace

// ---- the loop as the forms see it

int loop_wait_key() { return pump(false); }

void loop_push_overlay(void (*draw)(void*), void* context) { g_overlays.emplace_back(draw, context); }

void loop_pop_overlay() {
  if (!g_overlays.empty()) g_overlays.pop_back();
}

void loop_invalidate() { invalidate(); }

void loop_abort_transfer() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ui_blocked = true;
  }
  g_box_answered.notify_all();
  stop_dialog_abort();
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ui_blocked = false;
  }
}

int run_front_end(const RunOptions& options) {
  const char* ini = options.ini;
  std::vector<const char*> arguments;
  arguments.push_back("xrupdate");
  for (const char* operand : options.operands) arguments.push_back(operand);
  std::string why;
  const int chosen = link_choice_read(options, &g_choice, &why);
  if (chosen != 0) {
    std::fprintf(stderr, "xrupdate: %s\n", printable_text(why).c_str());
    return chosen;
  }
  g_use_choice = g_choice.names_link() || g_choice.rate >= 0 || g_choice.skip_version_check;

  analyze_cmdline(&cl, static_cast<int>(arguments.size()), arguments.data());
  // A start that names a link or a one-run option is never handed to a running
  // copy, which would use its own link and settings: the named device is checked
  // first, then a running copy is only asked which link it uses.
  const bool own_run = g_use_choice;
  if (own_run && !named_device_opens()) return 4;
  std::string running_link;
  const int copy = single_copy_start(cl, own_run ? &running_link : nullptr);
  if (copy == kSingleCopyRunning) {
    std::fprintf(stderr,
                 "xrupdate: a copy of xrupdate is already running (link: %s); it is not given this "
                 "start's options: close it, or use xrupdate --batch for a run of its own\n",
                 running_link.empty() ? "not known" : printable_text(running_link).c_str());
    return 1;
  }
  // A file named that resolves to nothing: said, whoever was going to take it.
  const std::vector<const char*> files = file_operands(options);
  if (copy != kSingleCopyFirst && !files.empty() && cl.path[0] == '\0') {
    std::fprintf(stderr, "xrupdate: %s: %s; nothing was handed over\n", printable_text(files.back()).c_str(),
                 file_operand_problem(files.back()).c_str());
    return 2;
  }
  if (copy != kSingleCopyFirst && single_copy_note()[0] != '\0')
    std::fprintf(stderr, "xrupdate: %s\n", single_copy_note());
  if (copy == kSingleCopyHandedOver) return 0;
  if (copy == kSingleCopyPending) {
    std::fprintf(stderr,
                 "xrupdate: the running copy has %s but has not answered yet (a dialog may be open); it "
                 "starts when the dialog closes and no transfer runs\n",
                 printable_text(cl.path).c_str());
    return 1;
  }
  if (copy == kSingleCopyUnanswered) {
    std::fprintf(stderr, "xrupdate: the running copy closed the connection without answering; %s was not started\n",
                 printable_text(cl.path).c_str());
    return 1;
  }
  if (copy == kSingleCopyGarbled) {
    std::fprintf(stderr, "xrupdate: the running copy's answer could not be understood; %s may not have been started\n",
                 printable_text(cl.path).c_str());
    return 1;
  }
  if (copy == kSingleCopyBusy) {
    std::fprintf(stderr, "xrupdate: the running copy is busy; %s was not started\n", printable_text(cl.path).c_str());
    return 1;
  }
  if (copy == kSingleCopyNotStarted) {
    std::fprintf(stderr, "xrupdate: the running copy could not start %s; it says why\n", printable_text(cl.path).c_str());
    return 1;
  }
  if (copy == kSingleCopyNoAnswer) {
    std::fprintf(stderr, "xrupdate: another copy is running but does not answer\n");
    return 1;
  }
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    std::fprintf(stderr,
                 "xrupdate: the front end needs a terminal (for a run without one: xrupdate --batch)\n");
    single_copy_stop();
    return 1;
  }

  g_ui_thread = std::this_thread::get_id();
  if (!notices_open()) {
    single_copy_stop();
    return 1;
  }
  HostSinks sinks = {};
  sinks.message_box = sink_message_box;
  sinks.textout = sink_textout;
  sinks.post_command = sink_post;
  sinks.window_origin = sink_origin;
  host_install(sinks);
  install_signals();
  handover_connection_reset(&g_connection);
  progress_reset(&g_progress);
  mw_create(&g_state);

  int status = 0;
  bool started = false;
  if (!screen_open()) {
    std::fprintf(stderr, "xrupdate: this terminal (TERM=%s) cannot be driven\n",
                 std::getenv("TERM") != nullptr ? std::getenv("TERM") : "");
    status = 1;
  } else {
    redraw();
    // A socket folder that could not be used: told before anything else.
    if (single_copy_note()[0] != '\0') form_message_box(single_copy_note(), kProgramTitle);
    if (!derive_inifile(ini)) {
      form_message_box("The settings file's path is longer than 255 characters, or no home folder is known.",
                       kProgramTitle);
      status = 1;
    } else {
      started = true;
      g_ports_probed = !g_choice.names_link();
      if (!program_startup(g_choice.names_link() ? kProbeNone : kProbeFallBack)) {
        status = 1;
      } else if (g_choice.names_link() && !startup_check_link(link_choice_target(g_choice))) {
        // The device named on the command line did not open (start-up has
        // said why): no other link is used.
        program_shutdown(kWindow);
        status = 4;
      } else {
        g_started = true;
        g_cmdline_pending = cl.path[0] != '\0';
        g_next_tick = now_ms() + kTickMs;
        invalidate();
        main_loop();
        program_shutdown(kWindow);
      }
    }
  }
  screen_close();
  if (started) close_log();
  single_copy_stop();
  // The sinks stay installed (the transfer thread may still be posting its end
  // notice), but take nothing more.
  for (int s : kHandledSignals) signal(s, SIG_DFL);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_closed = true;
  }
  notices_close();
  return status;
}

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
#include "support/printable.h"
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

// Everything the front end keeps between calls. Each group says who writes it
// and on which thread.
struct FrontEndState {
  // Shared with the transfer thread and the MIDI driver's thread, all under
  // `mutex`: their sinks write the lines, the progress and the boxes asked
  // for; the user-interface thread draws and answers them, and sets ui_blocked
  // and closed.
  std::mutex mutex;
  std::condition_variable box_answered;
  std::string lines[6];
  ProgressState progress;
  std::deque<std::shared_ptr<BoxRequest>> boxes;
  bool ui_blocked = false;  // the user-interface thread waits for the transfer thread
  bool dirty = true;
  // The transfer thread may post its end notice after it has set the idle state
  // that lets the program end: once closed, the sinks take nothing more.
  bool closed = false;

  // Set by the user-interface thread before the sinks are installed; read by
  // every thread that calls a sink.
  std::thread::id ui_thread;

  // Set by the signal handler, on whichever thread takes the signal; read and
  // cleared by the user-interface thread's loop.
  volatile std::sig_atomic_t sig_winch = 0;
  volatile std::sig_atomic_t sig_int = 0;
  volatile std::sig_atomic_t sig_term = 0;
  volatile std::sig_atomic_t sig_hup = 0;

  // The user-interface thread's own: the main window, the input and the timers.
  MainWindowState window;
  bool cmdline_pending = false;
  bool input_gone = false;
  int stdin_idle_reads = 0;
  bool stdin_ready = false;
  bool focus_known = false;
  bool focused = true;
  std::int64_t next_tick = 0;
  std::int64_t next_flash = 0;
  std::vector<std::pair<void (*)(void*), void*>> overlays;

  // The user-interface thread's own: the second copies that hand over a file.
  HandoverConnection connection;
  std::int64_t accept_paused_until = 0;

  // The user-interface thread's own: the link. The link named on the command
  // line is used until the user chooses one in Config... (OK); then the
  // settings' link is used.
  bool started = false;  // start-up has read the settings: the link line can be shown
  LinkChoice choice;
  bool use_choice = false;
  bool ports_probed = false;  // COM1..COM4 probed (not at start-up when a link was named)
};

FrontEndState g_front;

// The link the next transfer goes out on.
LinkTarget link_in_use() { return g_front.use_choice ? link_choice_target(g_front.choice) : settings_link_target(); }

// A serial device named by path on the command line opens (COM1..COM4 name the
// settings' devices, which start-up tries). Else one line says why: 0.
bool named_device_opens() {
  if (!g_front.choice.serial || com_port_number(g_front.choice.serial_device.c_str()) != 0) return true;
  char why[400];
  if (serial_device_probe(g_front.choice.serial_device.c_str(), why, sizeof why)) return true;
  std::fprintf(stderr, "xrupdate: --port %s: %s; no other port is used\n",
               printable_text(g_front.choice.serial_device).c_str(), why);
  return false;
}

// Wakes the loop. Async-signal-safe.
void wake() { notices_wake(); }

void on_signal(int signal_number) {
  const int saved = errno;
  switch (signal_number) {
    case SIGWINCH:
      g_front.sig_winch = 1;
      break;
    case SIGINT:
      g_front.sig_int = 1;
      break;
    case SIGTERM:
      g_front.sig_term = 1;
      break;
    case SIGHUP:
      g_front.sig_hup = 1;
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
  std::lock_guard<std::mutex> lock(g_front.mutex);
  if (g_front.closed) return;
  if (line >= 0 && line < 6) g_front.lines[line] = text != nullptr ? text : "";
  progress_poll(&g_front.progress, now_ms());
  g_front.dirty = true;
  wake();
}

void sink_post(WindowHandle, int id, intptr_t lparam) { notices_post(id, lparam); }

int sink_message_box(WindowHandle, const char* text, const char* caption, unsigned) {
  if (std::this_thread::get_id() == g_front.ui_thread) {
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
  std::unique_lock<std::mutex> lock(g_front.mutex);
  if (g_front.closed) return 1;
  g_front.boxes.push_back(request);
  wake();
  g_front.box_answered.wait(lock, [&] { return request->done || g_front.ui_blocked; });
  return 1;
}

void sink_origin(WindowHandle, int* left, int* top) {
  *left = xpos;
  *top = ypos;
}

// ---- what the loop does besides waiting


void redraw() {
  MainView view;
  view.link = g_front.started ? "Link: " + link_in_use_text(link_in_use()) : "";
  {
    std::lock_guard<std::mutex> lock(g_front.mutex);
    for (int i = 0; i < 6; ++i) view.lines[i] = g_front.lines[i];
    char text[128];
    progress_text(&g_front.progress, text, sizeof text);
    view.progress = text;
    view.progress_fill = progress_fill(&g_front.progress, kProgressBarWidth);
    g_front.dirty = false;
  }
  view.update_enabled = g_front.window.menu.update;
  view.stop_enabled = g_front.window.menu.stop;
  view.config_enabled = g_front.window.menu.config;
  view.title_marked = g_front.window.wf_status == 1 ? 1 : 0;
  screen_draw_main(view);
  if (screen_fits()) {
    for (const auto& overlay : g_front.overlays) overlay.first(overlay.second);
  }
  screen_flush();
}

void invalidate() {
  std::lock_guard<std::mutex> lock(g_front.mutex);
  g_front.dirty = true;
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
  if (started) mw_transfer_started(&g_front.window);
  invalidate();
}

void transfer_ended() {
  tx_end();
  {
    std::lock_guard<std::mutex> lock(g_front.mutex);
    progress_end(&g_front.progress);
  }
  const int has_focus = g_front.focus_known ? (g_front.focused ? 1 : 0) : 1;
  if (mw_transfer_ended(&g_front.window, has_focus)) g_front.next_flash = now_ms() + kFlashMs;
  // Where the terminal does not tell its focus, a bell is all the attention there is.
  if (!has_focus || !g_front.focus_known) screen_bell();
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
        mw_stop_enable(&g_front.window, static_cast<long>(notice.lparam));
        if (notice.lparam != 0) {
          std::lock_guard<std::mutex> lock(g_front.mutex);
          progress_begin(&g_front.progress, datafile.size, now_ms());
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
      std::lock_guard<std::mutex> lock(g_front.mutex);
      if (g_front.boxes.empty()) return;
      request = g_front.boxes.front();
      g_front.boxes.pop_front();
    }
    form_message_box(request->text.c_str(), request->has_caption ? request->caption.c_str() : nullptr);
    {
      std::lock_guard<std::mutex> lock(g_front.mutex);
      request->done = true;
    }
    g_front.box_answered.notify_all();
  }
}

void gain_focus() {
  g_front.focused = true;
  if (mw_focus_gained(&g_front.window)) invalidate();
}

void on_handover_record(const HandoverRecord& record, void* context) {
  const HandoverConnection* connection = static_cast<const HandoverConnection*>(context);
  if (record.id == IDM_RXW_FILENAME) {
    // A piece with a zero byte ends the path: the second copy waits to hear of it.
    bool last = false;
    for (int b = 0; b < 4; ++b) last = last || ((record.bytes >> (8 * b)) & 0xFF) == 0;
    const bool busy = g_front.window.tx_flag != 0;
    const bool held_before = g_front.window.held_path[0] != '\0';
    if (mw_handover_piece(&g_front.window, record.offset, record.bytes)) {
      char path[kHandoverBufferSize];
      std::memcpy(path, g_front.window.handover.rxw_filename, sizeof path);
      path[sizeof path - 1] = '\0';
      start_transfer(path);
      if (last)
        handover_answer(connection, g_front.window.tx_flag != 0 ? kHandoverAnswerTaken : kHandoverAnswerNotStarted);
    } else if (last) {
      const bool held = !held_before && g_front.window.held_path[0] != '\0';
      handover_answer(connection, busy ? kHandoverAnswerBusy : held ? kHandoverAnswerTaken : kHandoverAnswerNotStarted);
    }
  } else if (record.id == kHandoverLinkRequest) {
    // A start that names a link of its own asks which link this copy uses, to tell its user.
    std::string text = link_in_use_text(link_in_use());
    if (g_front.window.tx_flag != 0) text += "; a transfer runs";
    handover_answer_link(connection, text.c_str());
  } else if (record.id == kHandoverForeground) {
    // A terminal cannot be raised; the bell calls the user to it.
    screen_bell();
  }
}

void service_handover(std::int64_t now) {
  if (g_front.connection.fd < 0 && now >= g_front.accept_paused_until) {
    const int accepted = handover_accept(single_copy_listen_fd(), &g_front.connection, now);
    if (accepted > 0) handover_reset(&g_front.window.handover);
    // Out of descriptors or the like: try again a little later rather than spin.
    if (accepted < 0) g_front.accept_paused_until = now + 200;
  }
  if (g_front.connection.fd >= 0) handover_read(&g_front.connection, now, on_handover_record, &g_front.connection);
}

void run_timers(std::int64_t now) {
  // Like window timers, a late tick is one tick, not a burst.
  if (now >= g_front.next_tick) {
    add_midi_time();
    g_front.next_tick = now + kTickMs;
  }
  if (g_front.window.wf_status != -1 && now >= g_front.next_flash) {
    mw_flash_tick(&g_front.window);
    g_front.next_flash = now + kFlashMs;
    invalidate();
  }
}

bool dirty() {
  std::lock_guard<std::mutex> lock(g_front.mutex);
  return g_front.dirty;
}

// What the loop does each turn before it looks at the keyboard: a resize, the
// notices and boxes of the other threads, second copies (at the main level), the
// timers and the screen. The time after the boxes (which wait for their OK).
std::int64_t serve_turn(bool main_level) {
  if (g_front.sig_winch) {
    g_front.sig_winch = 0;
    screen_resize();
    invalidate();
  }
  process_notices();
  show_requested_boxes();
  const std::int64_t now = now_ms();
  if (main_level) service_handover(now);
  run_timers(now);
  if (dirty()) redraw();
  return now;
}

// The loop's own events as keys for the caller, by rank; kKeyNone when there is none.
int event_key(bool main_level, bool gone) {
  if (!main_level) return g_front.sig_term || gone ? kKeyCancelForm : kKeyNone;
  if (g_front.sig_term) return kKeyTerminate;
  // Without a keyboard nobody can answer; a running update is let finish.
  if (gone && query_tfr_stop()) return kKeyQuit;
  if (g_front.sig_int) {
    g_front.sig_int = 0;
    return kKeyClose;
  }
  if (g_front.cmdline_pending) {
    g_front.cmdline_pending = false;
    return kKeyCommandLine;
  }
  return kKeyNone;
}

// What a read of the keyboard left the loop to do.
enum class KeyTurn { kKey, kAgain, kWait };

// A key for the caller (kKey), something the loop took itself (kAgain), or
// nothing to read (kWait).
KeyTurn read_key(int* key) {
  *key = screen_read_key();
  if (*key == kKeyNone) {
    // Readable but nothing to read, again and again: end of input.
    if (g_front.stdin_ready && ++g_front.stdin_idle_reads >= 3) {
      g_front.input_gone = true;
      return KeyTurn::kAgain;
    }
    return KeyTurn::kWait;
  }
  g_front.stdin_idle_reads = 0;
  if (*key == kKeyFocusIn || *key == kKeyFocusOut) {
    g_front.focus_known = true;
    if (*key == kKeyFocusIn) {
      gain_focus();
    } else {
      g_front.focused = false;
    }
    return KeyTurn::kAgain;
  }
  if (*key == KEY_RESIZE || *key == kKeySwallowed) {
    invalidate();
    return KeyTurn::kAgain;
  }
  gain_focus();  // whoever types is looking at it
  if (!screen_fits() && *key != kCtrlC) return KeyTurn::kAgain;
  return KeyTurn::kKey;
}

// Waits for the wake pipe, the keyboard (unless it has gone) or a second copy
// (at the main level), until the next timer is due, a second at most.
void wait_for_input(bool main_level, bool gone, std::int64_t now) {
  pollfd fds[3];
  int count = 0;
  fds[count++] = pollfd{notices_wake_fd(), POLLIN, 0};
  const int stdin_index = gone ? -1 : count;
  if (!gone) fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
  std::int64_t deadline = g_front.next_tick;
  if (g_front.window.wf_status != -1 && g_front.next_flash < deadline) deadline = g_front.next_flash;
  if (main_level) {
    if (g_front.connection.fd >= 0) {
      fds[count++] = pollfd{g_front.connection.fd, POLLIN, 0};
      if (g_front.connection.deadline_ms < deadline) deadline = g_front.connection.deadline_ms;
    } else if (single_copy_listen_fd() >= 0 && now >= g_front.accept_paused_until) {
      fds[count++] = pollfd{single_copy_listen_fd(), POLLIN, 0};
    }
  }
  std::int64_t wait = deadline - now_ms();
  if (wait < 0) wait = 0;
  if (wait > 1000) wait = 1000;
  const int ready = poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait));
  g_front.stdin_ready = false;
  if (ready <= 0) return;
  if (fds[0].revents != 0) notices_drain();
  if (stdin_index >= 0) {
    const short events = fds[stdin_index].revents;
    if (events & POLLIN) {
      g_front.stdin_ready = true;
    } else if (events & (POLLHUP | POLLERR | POLLNVAL)) {
      g_front.input_gone = true;
    }
  }
}

// One turn after another until there is a key for the caller. The main level also
// serves second copies and gets the loop's own events as keys.
int pump(bool main_level) {
  for (;;) {
    const std::int64_t now = serve_turn(main_level);
    const bool gone = g_front.input_gone || g_front.sig_hup;
    const int event = event_key(main_level, gone);
    if (event != kKeyNone) return event;
    if (!gone) {
      int key = kKeyNone;
      const KeyTurn turn = read_key(&key);
      if (turn == KeyTurn::kKey) return key;
      if (turn == KeyTurn::kAgain) continue;
    }
    wait_for_input(main_level, gone, now);
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
        if (g_front.window.menu.update) {
          char path[kFilenameSize];  // the transfer's own path buffer: what fits is sent whole
          if (form_open_file(path, sizeof path)) start_transfer(path);
        }
        break;
      case 's':
      case 'S':
        if (g_front.window.menu.stop) form_stop_dialog();
        break;
      case 'c':
      case 'C':
        if (g_front.window.menu.config) {
          // The ports the form offers are the ones that open; a run whose link
          // was named opened no other device at start-up.
          if (!g_front.ports_probed) {
            check_comm(comm_status);
            g_front.ports_probed = true;
          }
          // OK there: the user's choice, which is the settings' link, from now on.
          if (form_config_dialog()) g_front.use_choice = false;
          invalidate();
        }
        break;
      case kCtrlL:
        clearok(curscr, TRUE);
        invalidate();
        break;
      case kKeyCommandLine:
        if (mw_may_start_transfer(&g_front.window)) start_transfer(cl.path);
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

// What a start that did not become the first copy tells, and its exit status;
// -1 for the first copy, which goes on.
int tell_copy_outcome(int copy, const std::string& running_link, const RunOptions& options) {
  if (copy == kSingleCopyRunning) {
    std::fprintf(stderr,
                 "xrupdate: a copy of xrupdate is already running (link: %s); it is not given this "
                 "start's options: close it, or use xrupdate --batch for a run of its own\n",
                 running_link.empty() ? "not known" : printable_text(running_link).c_str());
    return 1;
  }
  if (copy == kSingleCopyFirst) return -1;
  // A file named that resolves to nothing: said, whoever was going to take it.
  const std::vector<const char*> files = file_operands(options);
  if (!files.empty() && cl.path[0] == '\0') {
    std::fprintf(stderr, "xrupdate: %s: %s; nothing was handed over\n", printable_text(files.back()).c_str(),
                 file_operand_problem(files.back()).c_str());
    return 2;
  }
  if (single_copy_note()[0] != '\0') std::fprintf(stderr, "xrupdate: %s\n", single_copy_note());
  const std::string path = printable_text(cl.path);
  switch (copy) {
    case kSingleCopyHandedOver: return 0;
    case kSingleCopyPending:
      std::fprintf(stderr,
                   "xrupdate: the running copy has %s but has not answered yet (a dialog may be open); it "
                   "starts when the dialog closes and no transfer runs\n",
                   path.c_str());
      return 1;
    case kSingleCopyUnanswered:
      std::fprintf(stderr, "xrupdate: the running copy closed the connection without answering; %s was not started\n",
                   path.c_str());
      return 1;
    case kSingleCopyGarbled:
      std::fprintf(stderr,
                   "xrupdate: the running copy's answer could not be understood; %s may not have been started\n",
                   path.c_str());
      return 1;
    case kSingleCopyBusy:
      std::fprintf(stderr, "xrupdate: the running copy is busy; %s was not started\n", path.c_str());
      return 1;
    case kSingleCopyNotStarted:
      std::fprintf(stderr, "xrupdate: the running copy could not start %s; it says why\n", path.c_str());
      return 1;
    case kSingleCopyNoAnswer:
      std::fprintf(stderr, "xrupdate: another copy is running but does not answer\n");
      return 1;
    default:
      return -1;
  }
}

// The link for this run, the command line's file, and the single copy: a start
// that a running copy takes (or refuses) ends here. -1 when this copy goes on.
int become_first_copy(const RunOptions& options) {
  std::string why;
  const int chosen = link_choice_read(options, &g_front.choice, &why);
  if (chosen != 0) {
    std::fprintf(stderr, "xrupdate: %s\n", printable_text(why).c_str());
    return chosen;
  }
  g_front.use_choice = g_front.choice.names_link() || g_front.choice.rate >= 0 || g_front.choice.skip_version_check;

  std::vector<const char*> arguments;
  arguments.push_back("xrupdate");
  for (const char* operand : options.operands) arguments.push_back(operand);
  analyze_cmdline(&cl, static_cast<int>(arguments.size()), arguments.data());
  // A start that names a link or a one-run option is never handed to a running
  // copy, which would use its own link and settings: the named device is checked
  // first, then a running copy is only asked which link it uses.
  const bool own_run = g_front.use_choice;
  if (own_run && !named_device_opens()) return 4;
  std::string running_link;
  const int copy = single_copy_start(cl, own_run ? &running_link : nullptr);
  return tell_copy_outcome(copy, running_link, options);
}

// The sinks the engine reports through, the signals, and a fresh main window.
void install_front_end() {
  HostSinks sinks = {};
  sinks.message_box = sink_message_box;
  sinks.textout = sink_textout;
  sinks.post_command = sink_post;
  sinks.window_origin = sink_origin;
  host_install(sinks);
  install_signals();
  handover_connection_reset(&g_front.connection);
  progress_reset(&g_front.progress);
  mw_create(&g_front.window);
}

// On the open screen: the settings, start-up, the link, then the main loop until
// the program closes. The exit status; *started once the log may be open.
int run_on_screen(const char* ini, bool* started) {
  redraw();
  // A socket folder that could not be used: told before anything else.
  if (single_copy_note()[0] != '\0') form_message_box(single_copy_note(), kProgramTitle);
  if (!derive_inifile(ini)) {
    form_message_box("The settings file's path is longer than 255 characters, or no home folder is known.",
                     kProgramTitle);
    return 1;
  }
  *started = true;
  g_front.ports_probed = !g_front.choice.names_link();
  if (!program_startup(g_front.choice.names_link() ? kProbeNone : kProbeFallBack)) return 1;
  if (g_front.choice.names_link() && !startup_check_link(link_choice_target(g_front.choice))) {
    // The device named on the command line did not open (start-up has
    // said why): no other link is used.
    program_shutdown(kWindow);
    return 4;
  }
  g_front.started = true;
  g_front.cmdline_pending = cl.path[0] != '\0';
  g_front.next_tick = now_ms() + kTickMs;
  invalidate();
  main_loop();
  program_shutdown(kWindow);
  return 0;
}

// The screen closed, the log, the single copy and the signals let go.
void close_front_end(bool started) {
  screen_close();
  if (started) close_log();
  single_copy_stop();
  // The sinks stay installed (the transfer thread may still be posting its end
  // notice), but take nothing more.
  for (int s : kHandledSignals) signal(s, SIG_DFL);
  {
    std::lock_guard<std::mutex> lock(g_front.mutex);
    g_front.closed = true;
  }
  notices_close();
}

}  // namespace

// ---- the loop as the forms see it

int loop_wait_key() { return pump(false); }

void loop_push_overlay(void (*draw)(void*), void* context) { g_front.overlays.emplace_back(draw, context); }

void loop_pop_overlay() {
  if (!g_front.overlays.empty()) g_front.overlays.pop_back();
}

void loop_invalidate() { invalidate(); }

void loop_abort_transfer() {
  {
    std::lock_guard<std::mutex> lock(g_front.mutex);
    g_front.ui_blocked = true;
  }
  g_front.box_answered.notify_all();
  stop_dialog_abort();
  {
    std::lock_guard<std::mutex> lock(g_front.mutex);
    g_front.ui_blocked = false;
  }
}

int run_front_end(const RunOptions& options) {
  const int handed = become_first_copy(options);
  if (handed >= 0) return handed;
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    std::fprintf(stderr,
                 "xrupdate: the front end needs a terminal (for a run without one: xrupdate --batch)\n");
    single_copy_stop();
    return 1;
  }

  g_front.ui_thread = std::this_thread::get_id();
  if (!notices_open()) {
    single_copy_stop();
    return 1;
  }
  install_front_end();
  int status = 0;
  bool started = false;
  if (!screen_open()) {
    std::fprintf(stderr, "xrupdate: this terminal (TERM=%s) cannot be driven\n",
                 std::getenv("TERM") != nullptr ? std::getenv("TERM") : "");
    status = 1;
  } else {
    status = run_on_screen(options.ini, &started);
  }
  close_front_end(started);
  return status;
}

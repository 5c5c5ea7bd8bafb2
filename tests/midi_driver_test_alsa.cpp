// The ALSA rawmidi driver: first with the system's rawmidi calls on a machine
// without MIDI hardware, then its own device logic (threads, output written at
// once and done once sent, input buffers filled from F0 on, reset, unplug,
// close) against a stand-in for the rawmidi ports, alone and under the link.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/device_protocol.h"
#include "link/midi_driver_alsa.h"
#include "tests/midi_platform_test.h"
#include "tests/test_support.h"

namespace {

const MidiDriver& alsa() { return platform_midi_driver(); }

TEST(MidiAlsaTest, EnumeratesWithoutFailing) { expect_enumeration_without_failing(alsa()); }

TEST(MidiAlsaTest, OpeningADeviceThatIsNotThereIsABadDeviceId) {
  MidiHandle h = nullptr;
  EXPECT_EQ(unsigned{kMmBadDeviceId}, alsa().out_open(&h, alsa().out_num_devs(), nullptr, 0));
  EXPECT_EQ(unsigned{kMmBadDeviceId}, alsa().in_open(&h, alsa().in_num_devs(), nullptr, 0));
  EXPECT_EQ(nullptr, h);
}

TEST(MidiAlsaTest, SetMidiFailsCleanlyWithoutDevices) {
  midi_driver_install(nullptr);
  expect_set_midi_fails_cleanly_without_devices(alsa());
}

TEST(MidiAlsaTest, MemoryAndEvents) { expect_memory_and_events(alsa()); }

TEST(MidiAlsaTest, ErrorTexts) {
  expect_error_texts_terminated(alsa());
  char text[257] = "unchanged";
  EXPECT_NE(0u, alsa().out_error_text(4242, text, sizeof text));
  EXPECT_STREQ("unchanged", text);
  EXPECT_EQ(0u, alsa().out_error_text(kMidiErrNotReady, text, sizeof text));
  EXPECT_STREQ("The MIDI device is busy.", text);
}

}  // namespace

// --- the driver's own device logic, against a stand-in for the rawmidi ports ---

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(5);

// The ports: what each one has taken and not yet sent, what it has sent to the
// instrument, and what the instrument has sent back. One lock for all of it.
struct StandInPort {
  bool output = false;
  std::string name;
  Bytes buffer;      // written, not yet gone out
  Bytes wire;        // gone out to the instrument
  Bytes incoming;    // from the instrument, not yet read
};

struct StandIn {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<AlsaRawmidiPort> outs, ins;
  std::list<StandInPort> open_ports;
  std::vector<std::string> opened;  // "out hw:..." / "in hw:..."
  int open_error = 0;
  size_t room = 4096;      // the size of each output port's buffer
  bool sending = true;     // whether the port sends out what it has taken
  bool gone = false;       // unplugged: every call on a port fails
  int write_error = 0;     // the next write fails with this
  int writes = 0, looks = 0, drops = 0, closes = 0, reads = 0, read_calls = 0;
  int failed_reads = 0, failed_looks = 0;  // calls made after the unplug
  int closed_with_unsent = 0;  // the system would send these out first, waiting on the port
  Bytes last_wire;         // what the last closed output port had sent

  // The port sends out what it holds whenever it is called.
  void pump(StandInPort& p) {
    if (sending && !gone) {
      p.wire.insert(p.wire.end(), p.buffer.begin(), p.buffer.end());
      p.buffer.clear();
    }
  }
  StandInPort* port(bool output) {
    for (auto& p : open_ports) {
      if (p.output == output) return &p;
    }
    return nullptr;
  }
};

StandIn* stand_in = nullptr;

StandInPort& port_of(void* raw) { return *static_cast<StandInPort*>(raw); }

std::vector<AlsaRawmidiPort> si_list(bool output) {
  std::lock_guard<std::mutex> lock(stand_in->mutex);
  return output ? stand_in->outs : stand_in->ins;
}

int si_open(void** raw, const char* name, bool output) {
  std::lock_guard<std::mutex> lock(stand_in->mutex);
  if (stand_in->open_error != 0) return stand_in->open_error;
  stand_in->open_ports.push_back(StandInPort{});
  StandInPort& p = stand_in->open_ports.back();
  p.output = output;
  p.name = name;
  stand_in->opened.push_back(std::string(output ? "out " : "in ") + name);
  *raw = &p;
  return 0;
}

int si_close(void* raw) {
  std::lock_guard<std::mutex> lock(stand_in->mutex);
  StandInPort& p = port_of(raw);
  ++stand_in->closes;
  if (!p.buffer.empty()) ++stand_in->closed_with_unsent;
  if (p.output) stand_in->last_wire = p.wire;
  stand_in->open_ports.remove_if([&p](const StandInPort& q) { return &q == &p; });
  stand_in->changed.notify_all();
  return 0;
}

ssize_t si_write(void* raw, const unsigned char* bytes, size_t length) {
  std::lock_guard<std::mutex> lock(stand_in->mutex);
  StandInPort& p = port_of(raw);
  ++stand_in->writes;
  stand_in->changed.notify_all();
  if (stand_in->gone) return -ENODEV;
  if (stand_in->write_error != 0) {
    const int err = stand_in->write_error;
    stand_in->write_error = 0;
    return err;
  }
  stand_in->pump(p);
  const size_t n = std::min(length, stand_in->room - p.buffer.size());
  if (n == 0) return -EAGAIN;
  p.buffer.insert(p.buffer.end(), bytes, bytes + n);
  return static_cast<ssize_t>(n);
}

ssize_t si_read(void* raw, unsigned char* bytes, size_t length) {
  std::lock_guard<std::mutex> lock(stand_in->mutex);
  StandInPort& p = port_of(raw);
  ++stand_in->read_calls;
  stand_in->changed.notify_all();
  if (stand_in->gone) {
    ++stand_in->failed_reads;
    return -ENODEV;
  }
  if (p.incoming.empty()) return -EAGAIN;
  const size_t n = std::min(length, p.incoming.size());
  std::memcpy(bytes, p.incoming.data(), n);
  p.incoming.erase(p.incoming.begin(), p.incoming.begin() + static_cast<long>(n));
  ++stand_in->reads;
  return static_cast<ssize_t>(n);
}

long si_unsent(void* raw) {
  std::lock_guard<std::mutex> lock(stand_in->mutex);
  StandInPort& p = port_of(raw);
  ++stand_in->looks;
  stand_in->changed.notify_all();
  if (stand_in->gone) {
    ++stand_in->failed_looks;
    return -ENODEV;
  }
  stand_in->pump(p);
  return static_cast<long>(p.buffer.size());
}

int si_drop(void* raw) {
  std::lock_guard<std::mutex> lock(stand_in->mutex);
  ++stand_in->drops;
  port_of(raw).buffer.clear();
  return 0;
}

void si_wait_input(void* raw, int ms) {
  std::unique_lock<std::mutex> lock(stand_in->mutex);
  StandInPort& p = port_of(raw);
  stand_in->changed.wait_for(lock, std::chrono::milliseconds(ms),
                             [&p] { return stand_in->gone || !p.incoming.empty(); });
}

constexpr AlsaRawmidi kStandIn = {si_list, si_open, si_close, si_write,
                                  si_read, si_unsent, si_drop, si_wait_input};

// What the driver reported through its callback.
struct Notice {
  MidiHandle handle;
  unsigned msg;
  MidiHdr* hdr;
  std::thread::id thread;
};

std::mutex notice_mutex;
std::condition_variable notice_changed;
std::vector<Notice> notices;

void record_notice(MidiHandle handle, unsigned msg, uintptr_t, uintptr_t param1, uintptr_t) {
  std::lock_guard<std::mutex> lock(notice_mutex);
  notices.push_back({handle, msg, reinterpret_cast<MidiHdr*>(param1), std::this_thread::get_id()});
  notice_changed.notify_all();
}

std::vector<Notice> notices_of(unsigned msg) {
  std::lock_guard<std::mutex> lock(notice_mutex);
  std::vector<Notice> out;
  for (const auto& n : notices) {
    if (n.msg == msg) out.push_back(n);
  }
  return out;
}

bool wait_for_notices(unsigned msg, size_t count) {
  std::unique_lock<std::mutex> lock(notice_mutex);
  return notice_changed.wait_for(lock, kDeadline, [msg, count] {
    size_t n = 0;
    for (const auto& x : notices) n += x.msg == msg;
    return n >= count;
  });
}

// Waits until pred holds over the stand-in.
template <typename Pred>
bool wait_for_port(Pred pred) {
  std::unique_lock<std::mutex> lock(stand_in->mutex);
  return stand_in->changed.wait_for(lock, kDeadline, [&] { return pred(*stand_in); });
}

// A close or release that does not wait on the port takes far less than this,
// even on a busy machine; one that waits takes a second or more.
constexpr long long kQuickMs = 250;

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

AlsaRawmidiPort port_named(const char* name, const char* display) {
  AlsaRawmidiPort p{};
  std::snprintf(p.name, sizeof p.name, "%s", name);
  std::snprintf(p.display, sizeof p.display, "%s", display);
  return p;
}

// A header over a buffer of its own, as the link binds them.
struct Buffer {
  explicit Buffer(size_t size) : bytes(size, 0) {
    std::memset(&hdr, 0, sizeof hdr);
    hdr.lpData = reinterpret_cast<char*>(bytes.data());
    hdr.dwBufferLength = static_cast<uint32_t>(size);
  }
  void fill(const Bytes& data) {
    std::memcpy(bytes.data(), data.data(), data.size());
    hdr.dwBufferLength = static_cast<uint32_t>(data.size());
  }
  Bytes recorded() const { return Bytes(bytes.begin(), bytes.begin() + hdr.dwBytesRecorded); }
  Bytes bytes;
  MidiHdr hdr;
};

Bytes counting(size_t n, unsigned char first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((first + i) & 0x7F);
  return b;
}

class AlsaDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stand_in = &state_;
    state_.outs = {port_named("hw:1,0,0", "Stand-in Out A"), port_named("hw:2,0,1", "Stand-in Out B")};
    state_.ins = {port_named("hw:1,0,0", "Stand-in In A")};
    {
      std::lock_guard<std::mutex> lock(notice_mutex);
      notices.clear();
    }
    alsa_rawmidi_install(&kStandIn);
    midi_driver_install(nullptr);
  }
  void TearDown() override {
    if (out_ != nullptr) {
      EXPECT_EQ(0u, alsa().out_close(out_));
    }
    if (in_ != nullptr) {
      EXPECT_EQ(0u, alsa().in_close(in_));
    }
    EXPECT_TRUE(state_.open_ports.empty());
    EXPECT_EQ(0, state_.closed_with_unsent);
    alsa_rawmidi_install(nullptr);
    stand_in = nullptr;
  }
  void open_out(unsigned id = 0) {
    ASSERT_EQ(0u, alsa().out_open(&out_, id, record_notice, 0));
    ASSERT_NE(nullptr, out_);
  }
  void open_in() {
    ASSERT_EQ(0u, alsa().in_open(&in_, 0, record_notice, 0));
    ASSERT_NE(nullptr, in_);
  }
  // Closes the output now (the teardown does not close it again).
  unsigned close_out() {
    const unsigned r = alsa().out_close(out_);
    if (r == 0) out_ = nullptr;
    return r;
  }
  unsigned close_in() {
    const unsigned r = alsa().in_close(in_);
    if (r == 0) in_ = nullptr;
    return r;
  }
  void set(bool StandIn::*flag, bool value) {
    std::lock_guard<std::mutex> lock(state_.mutex);
    state_.*flag = value;
    state_.changed.notify_all();
  }
  void deliver(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(state_.mutex);
    StandInPort* p = state_.port(false);
    ASSERT_NE(nullptr, p);
    p->incoming.insert(p->incoming.end(), bytes.begin(), bytes.end());
    state_.changed.notify_all();
  }
  // Waits until the input thread has read and handled everything delivered:
  // it has come back for more.
  bool all_read() {
    int calls = 0;
    return wait_for_port([&calls](StandIn& s) {
             StandInPort* p = s.port(false);
             if (p == nullptr || !p->incoming.empty()) return false;
             calls = s.read_calls;
             return true;
           }) &&
           wait_for_port([&calls](StandIn& s) { return s.read_calls > calls; });
  }
  Bytes port_buffer() {
    std::lock_guard<std::mutex> lock(state_.mutex);
    StandInPort* p = state_.port(true);
    return p ? p->buffer : Bytes{};
  }
  Bytes port_wire() {
    std::lock_guard<std::mutex> lock(state_.mutex);
    StandInPort* p = state_.port(true);
    return p ? p->wire : state_.last_wire;
  }
  template <typename T>
  T count(T StandIn::*what) {
    std::lock_guard<std::mutex> lock(state_.mutex);
    return state_.*what;
  }

  StandIn state_;
  MidiHandle out_ = nullptr;
  MidiHandle in_ = nullptr;
};

// --- ports and opening ---

TEST_F(AlsaDeviceTest, PortsAreListedByTheirOwnNamesAndOpenedByTheirAddress) {
  EXPECT_EQ(2u, alsa().out_num_devs());
  EXPECT_EQ(1u, alsa().in_num_devs());
  MidiOutCaps out_caps;
  ASSERT_EQ(0u, alsa().out_get_caps(1, &out_caps));
  EXPECT_STREQ("Stand-in Out B", out_caps.szPname);
  MidiInCaps in_caps;
  ASSERT_EQ(0u, alsa().in_get_caps(0, &in_caps));
  EXPECT_STREQ("Stand-in In A", in_caps.szPname);

  open_out(1);
  open_in();
  EXPECT_EQ((std::vector<std::string>{"out hw:2,0,1", "in hw:1,0,0"}), state_.opened);
  ASSERT_EQ(1u, notices_of(kMomOpen).size());
  EXPECT_EQ(out_, notices_of(kMomOpen)[0].handle);
  ASSERT_EQ(1u, notices_of(kMimOpen).size());
  EXPECT_EQ(in_, notices_of(kMimOpen)[0].handle);
  EXPECT_EQ(0u, close_out());
  EXPECT_EQ(0u, close_in());
  EXPECT_EQ(1u, notices_of(kMomClose).size());
  EXPECT_EQ(1u, notices_of(kMimClose).size());
  EXPECT_EQ(2, state_.closes);
}

// The subdevices of snd-virmidi all show the card's name; each is told apart
// by its place, and a shared name too long for the place is cut, not the place.
TEST_F(AlsaDeviceTest, PortsSharingANameAreNamedByTheirPlace) {
  state_.outs = {port_named("hw:0,0,0", "Virtual Raw MIDI"), port_named("hw:0,0,1", "Virtual Raw MIDI"),
                 port_named("hw:1,0,0", "UM-ONE")};
  state_.ins = {port_named("hw:12,3,15", "A Very Long Interface Name Here"),
                port_named("hw:12,3,16", "A Very Long Interface Name Here")};
  MidiOutCaps out_caps;
  ASSERT_EQ(0u, alsa().out_get_caps(0, &out_caps));
  EXPECT_STREQ("Virtual Raw MIDI (hw:0,0,0)", out_caps.szPname);
  ASSERT_EQ(0u, alsa().out_get_caps(1, &out_caps));
  EXPECT_STREQ("Virtual Raw MIDI (hw:0,0,1)", out_caps.szPname);
  ASSERT_EQ(0u, alsa().out_get_caps(2, &out_caps));
  EXPECT_STREQ("UM-ONE", out_caps.szPname);
  MidiInCaps in_caps;
  ASSERT_EQ(0u, alsa().in_get_caps(1, &in_caps));
  EXPECT_STREQ("A Very Long Interf (hw:12,3,16)", in_caps.szPname);
}

TEST_F(AlsaDeviceTest, OpenFailuresAreTheirResultCodes) {
  MidiHandle h = nullptr;
  EXPECT_EQ(unsigned{kMmBadDeviceId}, alsa().out_open(&h, 2, record_notice, 0));
  EXPECT_EQ(unsigned{kMmBadDeviceId}, alsa().in_open(&h, 1, record_notice, 0));
  EXPECT_TRUE(state_.opened.empty());  // a port that is not listed is not tried
  const std::pair<int, unsigned> codes[] = {{-EBUSY, kMmAllocated},   {-ENOENT, kMmBadDeviceId},
                                            {-ENODEV, kMmBadDeviceId}, {-ENXIO, kMmBadDeviceId},
                                            {-ENOMEM, kMmNoMem},      {-EPERM, kMmError}};
  for (const auto& c : codes) {
    state_.open_error = c.first;
    EXPECT_EQ(c.second, alsa().out_open(&h, 0, record_notice, 0)) << c.first;
    EXPECT_EQ(c.second, alsa().in_open(&h, 0, record_notice, 0)) << c.first;
  }
  EXPECT_EQ(nullptr, h);
  {
    std::lock_guard<std::mutex> lock(notice_mutex);
    EXPECT_TRUE(notices.empty());
  }
}

// --- output: written at once, done once the port has sent it all ---

TEST_F(AlsaDeviceTest, TheDoneNoticeComesFromTheDevicesThreadOnceThePortHasSentEverything) {
  open_out();
  set(&StandIn::sending, false);
  Buffer chunk(512);
  const Bytes data = counting(512);
  chunk.fill(data);
  EXPECT_EQ(unsigned{kMidiErrUnprepared}, alsa().out_long_msg(out_, &chunk.hdr));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &chunk.hdr));
  ASSERT_EQ(0u, alsa().out_long_msg(out_, &chunk.hdr));
  EXPECT_EQ(data, port_buffer());  // written before the send returned
  EXPECT_EQ(kMhdrInqueue, chunk.hdr.dwFlags & (kMhdrInqueue | kMhdrDone));
  // The device's thread keeps looking; while the port holds bytes there is no notice.
  const int looks = count(&StandIn::looks);
  ASSERT_TRUE(wait_for_port([looks](StandIn& s) { return s.looks >= looks + 3; }));
  EXPECT_TRUE(notices_of(kMomDone).empty());
  EXPECT_EQ(unsigned{kMidiErrStillPlaying}, alsa().out_long_msg(out_, &chunk.hdr));
  EXPECT_EQ(unsigned{kMidiErrStillPlaying}, alsa().out_unprepare(out_, &chunk.hdr));
  EXPECT_EQ(unsigned{kMidiErrStillPlaying}, close_out());

  set(&StandIn::sending, true);
  ASSERT_TRUE(wait_for_notices(kMomDone, 1));
  const Notice done = notices_of(kMomDone)[0];
  EXPECT_EQ(out_, done.handle);
  EXPECT_EQ(&chunk.hdr, done.hdr);
  EXPECT_NE(std::this_thread::get_id(), done.thread);
  EXPECT_EQ(kMhdrDone, chunk.hdr.dwFlags & (kMhdrInqueue | kMhdrDone));
  EXPECT_EQ(data, port_wire());
  EXPECT_EQ(1, count(&StandIn::writes));

  // The same header goes out again once it is back.
  chunk.fill({0xF7});
  ASSERT_EQ(0u, alsa().out_long_msg(out_, &chunk.hdr));
  ASSERT_TRUE(wait_for_notices(kMomDone, 2));
  EXPECT_EQ(0xF7, port_wire().back());
  EXPECT_EQ(0u, alsa().out_unprepare(out_, &chunk.hdr));
}

TEST_F(AlsaDeviceTest, APortWithLittleRoomTakesTheRestAsRoomComesAndAFullPortIsBusy) {
  open_out();
  set(&StandIn::sending, false);
  {
    std::lock_guard<std::mutex> lock(state_.mutex);
    state_.room = 100;
  }
  Buffer chunk(300);
  const Bytes data = counting(300, 5);
  chunk.fill(data);
  ASSERT_EQ(0u, alsa().out_prepare(out_, &chunk.hdr));
  ASSERT_EQ(0u, alsa().out_long_msg(out_, &chunk.hdr));
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 100), port_buffer());
  // The thread tries the rest and finds no room.
  ASSERT_TRUE(wait_for_port([](StandIn& s) { return s.writes >= 3; }));
  EXPECT_TRUE(notices_of(kMomDone).empty());
  set(&StandIn::sending, true);
  ASSERT_TRUE(wait_for_notices(kMomDone, 1));
  EXPECT_EQ(data, port_wire());

  // A port with no room at all refuses the send as busy and keeps nothing.
  set(&StandIn::sending, false);
  Buffer fill(100);
  fill.fill(counting(100));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &fill.hdr));
  ASSERT_EQ(0u, alsa().out_long_msg(out_, &fill.hdr));
  Buffer next(10);
  next.fill(counting(10));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &next.hdr));
  EXPECT_EQ(unsigned{kMidiErrNotReady}, alsa().out_long_msg(out_, &next.hdr));
  EXPECT_EQ(0u, alsa().out_unprepare(out_, &next.hdr));  // not held
  set(&StandIn::sending, true);
  ASSERT_TRUE(wait_for_notices(kMomDone, 2));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &next.hdr));
  EXPECT_EQ(0u, alsa().out_long_msg(out_, &next.hdr));
  ASSERT_TRUE(wait_for_notices(kMomDone, 3));
}

TEST_F(AlsaDeviceTest, AWriteThePortRefusesFailsTheSendItselfAndEverySendAfterIt) {
  open_out();
  Buffer chunk(16);
  chunk.fill(counting(16));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &chunk.hdr));
  state_.write_error = -EIO;
  EXPECT_EQ(unsigned{kMmNoDriver}, alsa().out_long_msg(out_, &chunk.hdr));
  EXPECT_EQ(0u, alsa().out_unprepare(out_, &chunk.hdr));  // the header was not kept
  ASSERT_EQ(0u, alsa().out_prepare(out_, &chunk.hdr));
  EXPECT_EQ(unsigned{kMmNoDriver}, alsa().out_long_msg(out_, &chunk.hdr));
  EXPECT_EQ(1, count(&StandIn::writes));  // the port is not tried again
  EXPECT_TRUE(notices_of(kMomDone).empty());
  char text[257];
  ASSERT_EQ(0u, alsa().out_error_text(kMmNoDriver, text, sizeof text));
  EXPECT_STREQ("The MIDI device is no longer there.", text);
  const auto start = Clock::now();
  EXPECT_EQ(0u, close_out());
  EXPECT_LT(ms_since(start), kQuickMs);
}

// --- input: filled from F0 on, on into the next buffer ---

TEST_F(AlsaDeviceTest, InputFillsTheBuffersFromF0OnAndALongMessageGoesOnIntoTheNextBuffer) {
  open_in();
  Buffer b0(256), b1(256);
  for (Buffer* b : {&b0, &b1}) {
    ASSERT_EQ(0u, alsa().in_prepare(in_, &b->hdr));
    ASSERT_EQ(0u, alsa().in_add_buffer(in_, &b->hdr));
  }
  deliver({0xF0, 0x01, 0xF7});  // before input starts: not kept
  ASSERT_TRUE(all_read());
  ASSERT_EQ(0u, alsa().in_start(in_));
  Bytes reply{0xF0};
  const Bytes body = counting(299, 1);
  reply.insert(reply.end(), body.begin(), body.end());
  reply.push_back(0xF7);
  Bytes stream{0x12, 0x90, 0x40, 0x7F};  // not system exclusive: not kept
  stream.insert(stream.end(), reply.begin(), reply.end());
  deliver(stream);
  ASSERT_TRUE(wait_for_notices(kMimLongData, 2));
  const auto back = notices_of(kMimLongData);
  ASSERT_EQ(2u, back.size());
  EXPECT_EQ(&b0.hdr, back[0].hdr);
  EXPECT_EQ(&b1.hdr, back[1].hdr);
  EXPECT_EQ(in_, back[0].handle);
  EXPECT_NE(std::this_thread::get_id(), back[0].thread);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 256), b0.recorded());
  EXPECT_EQ(Bytes(reply.begin() + 256, reply.end()), b1.recorded());
  EXPECT_EQ(kMhdrDone, b0.hdr.dwFlags & (kMhdrDone | kMhdrInqueue));
  EXPECT_EQ(0u, alsa().in_stop(in_));
  EXPECT_EQ(0u, alsa().in_reset(in_));
}

// --- reset ---

TEST_F(AlsaDeviceTest, AResetHandsBackEveryBufferBeforeItReturns) {
  open_in();
  Buffer b0(256), b1(256);
  for (Buffer* b : {&b0, &b1}) {
    ASSERT_EQ(0u, alsa().in_prepare(in_, &b->hdr));
    ASSERT_EQ(0u, alsa().in_add_buffer(in_, &b->hdr));
  }
  ASSERT_EQ(0u, alsa().in_start(in_));
  deliver({0xF0, 0x42, 0x23});  // a reply cut short
  ASSERT_TRUE(all_read());
  EXPECT_EQ(unsigned{kMidiErrStillPlaying}, close_in());
  EXPECT_EQ(unsigned{kMidiErrStillPlaying}, alsa().in_unprepare(in_, &b1.hdr));
  ASSERT_EQ(0u, alsa().in_reset(in_));
  const auto back = notices_of(kMimLongData);  // no waiting: all given before the reset returned
  ASSERT_EQ(2u, back.size());
  EXPECT_EQ(&b0.hdr, back[0].hdr);
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23}), b0.recorded());
  EXPECT_EQ(&b1.hdr, back[1].hdr);
  EXPECT_EQ(0u, alsa().in_unprepare(in_, &b1.hdr));

  open_out();
  set(&StandIn::sending, false);
  Buffer chunk(64);
  chunk.fill(counting(64));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &chunk.hdr));
  ASSERT_EQ(0u, alsa().out_long_msg(out_, &chunk.hdr));
  ASSERT_EQ(0u, alsa().out_reset(out_));
  ASSERT_EQ(1u, notices_of(kMomDone).size());
  EXPECT_EQ(&chunk.hdr, notices_of(kMomDone)[0].hdr);
  EXPECT_EQ(1, count(&StandIn::drops));  // what the port had not sent is thrown away
  EXPECT_TRUE(port_buffer().empty());
  // The abandoned chunk gives no second notice, even once the port sends again.
  set(&StandIn::sending, true);
  EXPECT_EQ(0u, close_out());
  EXPECT_EQ(1u, notices_of(kMomDone).size());
  EXPECT_TRUE(port_wire().empty());
}

// --- close ---

TEST_F(AlsaDeviceTest, ClosingNeverWaitsOnAPortThatHasStoppedSending) {
  open_out();
  open_in();
  set(&StandIn::sending, false);
  Buffer chunk(512);
  chunk.fill(counting(512));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &chunk.hdr));
  ASSERT_EQ(0u, alsa().out_long_msg(out_, &chunk.hdr));
  // The device's thread is waiting for the port to send its bytes out, and never will.
  const int looks = count(&StandIn::looks);
  ASSERT_TRUE(wait_for_port([looks](StandIn& s) { return s.looks >= looks + 2; }));
  auto start = Clock::now();
  ASSERT_EQ(0u, alsa().out_reset(out_));
  EXPECT_EQ(0u, close_out());
  EXPECT_LT(ms_since(start), kQuickMs);
  EXPECT_EQ(1u, notices_of(kMomDone).size());
  EXPECT_EQ(1u, notices_of(kMomClose).size());
  EXPECT_EQ(0, state_.closed_with_unsent);  // dropped: the close has nothing to send first
  // The input thread, waiting for bytes that never come, ends as quickly.
  ASSERT_TRUE(wait_for_port([](StandIn& s) { return s.read_calls >= 2; }));
  start = Clock::now();
  EXPECT_EQ(0u, close_in());
  EXPECT_LT(ms_since(start), kQuickMs);
  // No notice comes after a close.
  const size_t total = [] {
    std::lock_guard<std::mutex> lock(notice_mutex);
    return notices.size();
  }();
  EXPECT_EQ(total, notices_of(kMomDone).size() + notices_of(kMomOpen).size() +
                       notices_of(kMomClose).size() + notices_of(kMimOpen).size() +
                       notices_of(kMimClose).size());
}

// --- unplug ---

TEST_F(AlsaDeviceTest, AnUnpluggedPortFailsWhatComesNextButStillHandsBackAndCloses) {
  open_in();
  open_out();
  Buffer b0(256), b1(256);
  for (Buffer* b : {&b0, &b1}) {
    ASSERT_EQ(0u, alsa().in_prepare(in_, &b->hdr));
    ASSERT_EQ(0u, alsa().in_add_buffer(in_, &b->hdr));
  }
  ASSERT_EQ(0u, alsa().in_start(in_));
  set(&StandIn::sending, false);
  Buffer chunk(64);
  chunk.fill(counting(64));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &chunk.hdr));
  ASSERT_EQ(0u, alsa().out_long_msg(out_, &chunk.hdr));

  set(&StandIn::gone, true);
  ASSERT_TRUE(wait_for_port([](StandIn& s) { return s.failed_reads >= 1; }));
  // Once the input thread has seen the port gone, input cannot start again.
  const auto deadline = Clock::now() + kDeadline;
  while (alsa().in_start(in_) != kMmNoDriver && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(unsigned{kMmNoDriver}, alsa().in_start(in_));
  Buffer b2(256);
  ASSERT_EQ(0u, alsa().in_prepare(in_, &b2.hdr));
  EXPECT_EQ(unsigned{kMmNoDriver}, alsa().in_add_buffer(in_, &b2.hdr));
  const int reads = count(&StandIn::failed_reads);
  // The output thread's look at the port fails too; the chunk stays held, with no notice.
  ASSERT_TRUE(wait_for_port([](StandIn& s) { return s.failed_looks >= 1; }));
  Buffer again(8);
  again.fill(counting(8));
  ASSERT_EQ(0u, alsa().out_prepare(out_, &again.hdr));
  EXPECT_EQ(unsigned{kMmNoDriver}, alsa().out_long_msg(out_, &again.hdr));
  EXPECT_TRUE(notices_of(kMomDone).empty());
  EXPECT_TRUE(notices_of(kMimLongData).empty());
  EXPECT_EQ(unsigned{kMidiErrStillPlaying}, close_out());

  // Resets still hand everything back, and the closes are quick.
  ASSERT_EQ(0u, alsa().in_reset(in_));
  ASSERT_EQ(0u, alsa().out_reset(out_));
  EXPECT_EQ(1u, notices_of(kMomDone).size());
  const auto start = Clock::now();
  EXPECT_EQ(0u, close_in());
  EXPECT_EQ(0u, close_out());
  EXPECT_LT(ms_since(start), kQuickMs);
  EXPECT_EQ(reads, count(&StandIn::failed_reads));  // the input thread had ended
}

// --- the link over the ALSA driver: failed sends and releases that never wait on the port ---

class AlsaLinkTest : public AlsaDeviceTest {
 protected:
  void SetUp() override {
    AlsaDeviceTest::SetUp();
    ASSERT_EQ(1, open_log());
    ASSERT_EQ(1, set_midi(nullptr, 0, 0));
    ASSERT_EQ(1, rx_midi_setbuffer());
  }
  void TearDown() override {
    free_midi();
    EXPECT_EQ(0, midi_link_is_open());
    close_log();
    AlsaDeviceTest::TearDown();
  }
  std::string log() const { return read_file_bytes(dir_.file(kLogFileName)); }
  // Releases the link, and says how long it took.
  long long timed_free_midi() {
    const auto start = Clock::now();
    free_midi();
    return ms_since(start);
  }

  TempDir dir_;
  HostRecorder host_;
};


TEST_F(AlsaLinkTest, AWriteThePortRefusesIsAFailedSendAndTheReleaseDoesNotWait) {
  state_.write_error = -ENODEV;  // unplugged as the request goes out
  const auto start = Clock::now();
  EXPECT_EQ(0, tx_data_midi(nullptr, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_LT(ms_since(start), kMidiDoneWaitMs / 2);  // no completion wait
  const std::string text = log();
  EXPECT_NE(std::string::npos,
            text.find("Midi Out Error : Failed to send sysex (The MIDI device is no longer there.).\r\n"));
  EXPECT_EQ(std::string::npos, text.find("MOM_DONE"));
  EXPECT_LT(timed_free_midi(), kMidiReleaseWaitMs * 3 / 4);  // not even the short wait
  EXPECT_TRUE(state_.open_ports.empty());
}

TEST_F(AlsaLinkTest, APortThatStopsSendingTimesOutAndIsReleasedWithinAShortBound) {
  set(&StandIn::sending, false);
  EXPECT_EQ(0, tx_data_midi(nullptr, kSetModeSystemMessage.data(), 7, 0));
  EXPECT_NE(std::string::npos,
            log().find("Midi Out Error : Timed out waiting for MOM_DONE notification from driver.\r\n"));
  EXPECT_LT(timed_free_midi(), 2 * kMidiReleaseWaitMs + 100);
  EXPECT_TRUE(state_.open_ports.empty());
  EXPECT_GE(state_.drops, 1);  // nothing was left for the close to send
}

TEST_F(AlsaLinkTest, AStopWhileThePortHoldsTheChunkEndsTheSendAndTheReleaseIsQuick) {
  set(&StandIn::sending, false);
  std::thread stopper([] {
    // The stop dialog's Abort, once the chunk is with the port.
    wait_for_port([](StandIn& s) {
      StandInPort* p = s.port(true);
      return p != nullptr && !p->buffer.empty();
    });
    midi_force_timeout();
  });
  const auto start = Clock::now();
  const int sent = tx_data_midi(nullptr, kSetModeSystemMessage.data(), 7, 0);
  const long long took = ms_since(start);
  stopper.join();
  EXPECT_EQ(-1, sent);
  EXPECT_LT(took, kMidiDoneWaitMs / 2);
  EXPECT_LT(timed_free_midi(), 2 * kMidiReleaseWaitMs + 100);
  EXPECT_TRUE(state_.open_ports.empty());
}

TEST_F(AlsaLinkTest, AWholeExchangeRunsOverTheDevicesThreads) {
  std::thread instrument([this] {
    // Answers the request once it has gone out.
    wait_for_port([](StandIn& s) {
      StandInPort* p = s.port(true);
      return p != nullptr && p->wire.size() >= 7;
    });
    deliver({0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7});
  });
  EXPECT_EQ(1, tx_data_midi(nullptr, kSetModeSystemMessage.data(), 7, 0));
  unsigned char reply[16];
  EXPECT_EQ(1, rx_data_midi(nullptr, reply, 16));
  instrument.join();
  EXPECT_EQ((Bytes{0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7}), Bytes(reply, reply + 7));
  EXPECT_EQ(kSetModeSystemMessage, port_wire());
}

// A reply cut short by a status byte or a second F0 comes back as an incomplete
// message with the bytes that arrived, and is judged on those alone: the good
// reply before it, still in the buffer, lends it nothing.
TEST_F(AlsaLinkTest, AReplyCutShortIsJudgedOnlyOnTheBytesThatArrived) {
  const Bytes good{0xF0, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7};
  const struct {
    Bytes cut;
    const char* line3;
  } cases[] = {
      {{0xF0, 0x42, 0x23, 0x58, 0x03, 0xF0}, "Rx Msg Error(5:Unknown Error)"},
      {{0xF0, 0xF0, 0x42, 0x23, 0x58, 0x03, 0x02, 0xF7}, "Rx Msg Error(1:Not PELD ID)"},
      {{0xF0, 0x80, 0x42, 0x23, 0x58, 0x03, 0x00, 0xF7}, "Rx Msg Error(1:Not PELD ID)"},
  };
  g_devmode = 1;
  unsigned char reply[kReplySize];
  int received = -1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line3);
    // The instrument's good reply first: it is taken, whole.
    ASSERT_EQ(1, rx_midi_setbuffer());
    deliver(good);
    ASSERT_EQ(1, rx_data(nullptr, reply, kReplySize, &received));
    EXPECT_EQ(7, received);
    EXPECT_EQ(1, check_rx_data(reply, kMsgStatusReply, received));

    ASSERT_EQ(1, rx_midi_setbuffer());
    deliver(c.cut);
    ASSERT_EQ(1, rx_data(nullptr, reply, kReplySize, &received));
    EXPECT_EQ(0, check_rx_data(reply, kMsgStatusReply, received));
    EXPECT_EQ(c.line3, host_.line(3));
  }
  g_devmode = 0;
}

}  // namespace

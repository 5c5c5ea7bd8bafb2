#include "sim/instrument.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/seven_bit.h"
#include "engine/update_file.h"

namespace {

constexpr unsigned char kHead[4] = {0xF0, 0x42, 0x23, 0x58};
constexpr unsigned char kTestId = 0x7D;
constexpr int kPackedSize = packed_length(kSimBlockSize);  // 9363
constexpr size_t kSetModeSize = 7;

enum Status : int { kAccepted = 0, kFormatError = 1, kChecksumError = 2 };

void note(SimInstrument& sim, const char* text) { sim.record.last_error = text; }

std::vector<unsigned char> status_reply(int status) {
  return {kHead[0], kHead[1], kHead[2], kHead[3], 0x03, static_cast<unsigned char>(status), 0xF7};
}

std::vector<unsigned char> version_reply(const SimConfig& config) {
  std::vector<unsigned char> reply(kSimVersionReplySize, 0x00);
  std::memcpy(reply.data(), kHead, 4);
  reply[4] = 0x01;
  for (int v = 0; v < 3; ++v) {
    reply[5 + 2 * v] = static_cast<unsigned char>(config.versions[v] & 0xFF);
    reply[6 + 2 * v] = static_cast<unsigned char>((config.versions[v] >> 8) & 0xFF);
  }
  reply[kSimVersionReplySize - 1] = 0xF7;
  return reply;
}

// The installed version becomes the one in the image's header (at 0, or at
// 2048 when the tag is not at the start): SYSTEM, PCM and USER their own, ALL all three.
void take_version(SimInstrument& sim) {
  const std::vector<unsigned char>& image = sim.record.image;
  for (size_t at : {static_cast<size_t>(0), static_cast<size_t>(2048)}) {
    if (image.size() < at + 8 || std::memcmp(&image[at], "PELD", 4) != 0) continue;
    const int version = image[at + 4] * 256 + image[at + 5];
    const int attr = image[at + 7];
    for (int v = 0; v < 3; ++v) {
      if (attr == v || attr == 3) sim.config.versions[static_cast<size_t>(v)] = version;
    }
    return;
  }
}

void write_image(SimInstrument& sim) {
  sim.record.image_written = 0;
  if (sim.config.image_path.empty()) return;
  std::FILE* f = std::fopen(sim.config.image_path.c_str(), "wb");
  if (f == nullptr) {
    note(sim, "cannot create the image file");
    return;
  }
  size_t n = std::fwrite(sim.record.image.data(), 1, sim.record.image.size(), f);
  int closed = std::fclose(f);
  if (n == sim.record.image.size() && closed == 0) {
    sim.record.image_written = 1;
  } else {
    note(sim, "cannot write the image file");
  }
}

int set_mode(SimInstrument& sim, const std::vector<unsigned char>& m) {
  ++sim.record.setmodes;
  int size = m.size() == kSetModeSize ? required_file_size(m[5]) : 0;
  if (size == 0) {
    note(sim, "Set Mode: bad length or attribute code");
    return kFormatError;
  }
  if (sim.config.setmode_status != 0) return sim.config.setmode_status;
  sim.updating = true;
  sim.record.attr_code = m[5];
  sim.record.expected_packets = size / kSimBlockSize;
  sim.record.packets = 0;
  sim.record.image.assign(static_cast<size_t>(size), 0);
  return kAccepted;
}

int data_packet(SimInstrument& sim, const std::vector<unsigned char>& m, int number) {
  SimRecord& r = sim.record;
  char text[96];
  int status = kAccepted;
  if (!sim.updating) {
    note(sim, "data packet without an update under way");
    status = kFormatError;
  } else if (m.size() != kSimPacketSize) {
    std::snprintf(text, sizeof text, "packet %d: %zu bytes, expected %d", number, m.size(),
                  kSimPacketSize);
    note(sim, text);
    status = kFormatError;
  } else if (number != r.packets) {
    std::snprintf(text, sizeof text, "packet %d out of order, expected %d", number, r.packets);
    note(sim, text);
    status = kFormatError;
  } else {
    unsigned sum = 0;
    bool seven_bit = true;
    for (int i = 5; i < kSimPacketSize - 1; ++i) seven_bit = seven_bit && m[i] < 0x80;
    for (int i = 7; i < 7 + kPackedSize; ++i) sum += m[i];
    if (!seven_bit) {
      std::snprintf(text, sizeof text, "packet %d: a byte with bit 7 set", number);
      note(sim, text);
      status = kFormatError;
    } else if ((sum & 0x7F) != m[7 + kPackedSize]) {
      std::snprintf(text, sizeof text, "packet %d: checksum %02x, expected %02x", number,
                    m[7 + kPackedSize], sum & 0x7F);
      note(sim, text);
      status = kChecksumError;
    }
  }
  if (status != kAccepted) {
    ++r.bad_packets;
    return status;
  }
  unsigned char block[kSimBlockSize];
  decode_midi(&m[7], block, kPackedSize);
  std::memcpy(&r.image[static_cast<size_t>(number) * kSimBlockSize], block, kSimBlockSize);
  if (++r.packets == r.expected_packets) {
    sim.updating = false;
    ++r.updates_completed;
    write_image(sim);
    if (sim.config.restart_ms >= 0) take_version(sim);
  }
  return kAccepted;
}

void test_message(SimInstrument& sim, const std::vector<unsigned char>& m,
                  std::vector<SimAction>& out) {
  if (m.size() < 4) return;
  if (m[2] == 0x02) {
    sim.closed = true;
    out.push_back({SimAction::kClose, 0, 0, {}});
    return;
  }
  if (m[2] != 0x01) return;
  SimAction say;
  for (size_t i = 3; i + 2 < m.size(); i += 2) {
    say.bytes.push_back(static_cast<unsigned char>(((m[i] & 0x0F) << 4) | (m[i + 1] & 0x0F)));
  }
  say.per_byte_us = sim_byte_time_us(sim.config.line_baud);
  out.push_back(say);
}

void message(SimInstrument& sim, std::vector<SimAction>& out) {
  const std::vector<unsigned char>& m = sim.message;
  SimRecord& r = sim.record;
  const SimConfig& c = sim.config;
  ++r.messages;
  if (m.size() >= 3 && m[1] == kTestId) {
    test_message(sim, m, out);
    return;
  }
  if (m.size() < 6 || std::memcmp(m.data(), kHead, 4) != 0) {
    note(sim, "ignored a message with another head");
    return;
  }
  SimStep step;
  switch (m[4]) {
    case 0x00: step.kind = SimStep::kVersion; break;
    case 0x02: step.kind = SimStep::kSetMode; break;
    case 0x04:
      step.kind = SimStep::kPacket;
      step.packet = m.size() >= 8 ? m[5] | (m[6] << 7) : -1;
      break;
    default: note(sim, "ignored a message with an unknown code"); return;
  }
  if (sim_step_matches(c.close_step, step)) {
    sim.closed = true;
    out.push_back({SimAction::kClose, 0, 0, {}});
    return;
  }
  std::vector<unsigned char> reply;
  if (step.kind == SimStep::kVersion) {
    ++r.version_requests;
    reply = version_reply(c);
  } else if (sim_step_matches(c.status_step, step) && c.status_value != 0) {
    if (step.kind == SimStep::kSetMode) ++r.setmodes;
    if (step.kind == SimStep::kPacket) ++r.bad_packets;
    reply = status_reply(c.status_value);
  } else if (step.kind == SimStep::kSetMode) {
    reply = status_reply(set_mode(sim, m));
  } else {
    reply = status_reply(data_packet(sim, m, step.packet));
  }
  if (sim_step_matches(c.silent_step, step)) return;
  if (sim_step_matches(c.long_step, step) && static_cast<int>(reply.size()) < c.long_length) {
    const unsigned char fill = static_cast<unsigned char>(c.long_fill);
    reply.back() = fill;
    reply.resize(static_cast<size_t>(c.long_length), fill);
    reply.back() = 0xF7;
  }
  if (sim_step_matches(c.bad_step, step) && c.bad_index >= 0 &&
      c.bad_index < static_cast<int>(reply.size())) {
    reply[static_cast<size_t>(c.bad_index)] = static_cast<unsigned char>(c.bad_value);
  }
  SimAction action;
  if (sim_step_matches(c.noise_step, step)) action.bytes = c.noise;
  action.bytes.insert(action.bytes.end(), reply.begin(), reply.end());
  if (sim_step_matches(c.duplicate_step, step)) action.bytes.insert(action.bytes.end(), reply.begin(), reply.end());
  if (sim_step_matches(c.delay_step, step)) action.delay_us = c.delay_ms * 1000;
  if (sim_step_matches(c.late_step, step) && !sim.late_sent) {
    sim.late_sent = true;
    action.delay_us = c.late_ms * 1000;
  }
  action.per_byte_us = sim_byte_time_us(c.line_baud);
  out.push_back(std::move(action));
}

}  // namespace

void sim_reset(SimInstrument& sim, const SimConfig& config) {
  sim.config = config;
  sim.record = SimRecord{};
  sim.message.clear();
  sim.in_message = false;
  sim.updating = false;
  sim.closed = false;
  sim.late_sent = false;
}

void sim_feed(SimInstrument& sim, unsigned char byte, std::vector<SimAction>& out) {
  if (sim.closed) return;
  if (!sim.in_message) {
    if (byte == 0xF0) {
      sim.in_message = true;
      sim.message.assign(1, byte);
    } else {
      ++sim.record.stray_bytes;
    }
    return;
  }
  if (byte >= 0xF8) return;  // real-time bytes may come inside a message
  if (byte == 0xF0) {
    note(sim, "a message cut short by a new start");
    sim.message.assign(1, byte);
    return;
  }
  sim.message.push_back(byte);
  if (byte == 0xF7) {
    sim.in_message = false;
    message(sim, out);
    sim.message.clear();
    return;
  }
  if (sim.message.size() > kSimMaxMessage) {
    note(sim, "a message too long to be one");
    sim.in_message = false;
    sim.message.clear();
  }
}

int sim_parse_step(const char* text, SimStep* step) {
  SimStep s;
  if (std::strcmp(text, "version") == 0) {
    s.kind = SimStep::kVersion;
  } else if (std::strcmp(text, "setmode") == 0) {
    s.kind = SimStep::kSetMode;
  } else if (std::strcmp(text, "all") == 0) {
    s.kind = SimStep::kAll;
  } else if (std::strncmp(text, "packet:", 7) == 0) {
    char* end = nullptr;
    long k = std::strtol(text + 7, &end, 10);
    if (end == text + 7 || *end != '\0' || k < 0 || k > 16383) return 0;
    s.kind = SimStep::kPacket;
    s.packet = static_cast<int>(k);
  } else {
    return 0;
  }
  *step = s;
  return 1;
}

bool sim_step_matches(const SimStep& wanted, const SimStep& current) {
  switch (wanted.kind) {
    case SimStep::kNone: return false;
    case SimStep::kAll: return true;
    case SimStep::kPacket:
      return current.kind == SimStep::kPacket && current.packet == wanted.packet;
    default: return wanted.kind == current.kind;
  }
}

int sim_byte_time_us(int baud) { return baud > 0 ? 10000000 / baud : 0; }

std::vector<unsigned char> sim_say_message(const std::vector<unsigned char>& bytes) {
  std::vector<unsigned char> m{0xF0, kTestId, 0x01};
  for (unsigned char b : bytes) {
    m.push_back(static_cast<unsigned char>(b >> 4));
    m.push_back(static_cast<unsigned char>(b & 0x0F));
  }
  m.push_back(0xF7);
  return m;
}

std::vector<unsigned char> sim_close_message() { return {0xF0, kTestId, 0x02, 0xF7}; }

std::vector<unsigned char> sim_default_noise() {
  static const unsigned char kNoise[] = {0xFE, 0xF8, 0xF7, 0x12, 0x34};
  return std::vector<unsigned char>(kNoise, kNoise + sizeof kNoise);
}

// The simulated XR3300 for the page's tests in the browser: the same instrument
// and options as xrsim, fed and answered by the test stand-ins for Web Serial
// and Web MIDI (tests/e2e/web/standins.js), which play the line or the cable
// and carry out what the instrument does (wait, answer, close the line).
#include <emscripten/emscripten.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/instrument.h"
#include "sim/sim_options.h"
#include "support/json_text.h"

namespace {

SimInstrument g_sim;
std::string g_bad;
std::string g_json;
std::vector<unsigned char> g_actions;

void put32(std::vector<unsigned char>& out, long value) {
  const auto v = static_cast<unsigned long>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>((v >> shift) & 0xFF));
}

}  // namespace

extern "C" {

// The options as xrsim takes them, one to a line. 1, or 0 with the offending
// option in xrsim_error().
EMSCRIPTEN_KEEPALIVE int xrsim_configure(const char* lines) {
  std::vector<std::string> words{"xrsim"};
  std::string text = lines != nullptr ? lines : "";
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string word = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!word.empty()) words.push_back(word);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  SimOptions options;
  g_bad.clear();
  if (!sim_parse_options(static_cast<int>(argv.size()), argv.data(), &options, &g_bad)) return 0;
  options.config.image_path.clear();  // the stand-in reads the image from here
  sim_reset(g_sim, options.config);
  return 1;
}

EMSCRIPTEN_KEEPALIVE const char* xrsim_error() { return g_bad.c_str(); }

// Feeds bytes from the line; returns what the instrument does in answer, as
// records of: kind (0 write, 1 close), delay before it in us, time per byte in
// us, byte count (each 4 bytes, little-endian), then the bytes.
EMSCRIPTEN_KEEPALIVE const unsigned char* xrsim_feed(const unsigned char* bytes, int length, int* size) {
  std::vector<SimAction> actions;
  g_actions.clear();
  for (int i = 0; i < length; ++i) {
    actions.clear();
    sim_feed(g_sim, bytes[i], actions);
    for (const SimAction& action : actions) {
      put32(g_actions, action.kind == SimAction::kClose ? 1 : 0);
      put32(g_actions, action.delay_us);
      put32(g_actions, action.per_byte_us);
      put32(g_actions, static_cast<long>(action.bytes.size()));
      g_actions.insert(g_actions.end(), action.bytes.begin(), action.bytes.end());
    }
  }
  *size = static_cast<int>(g_actions.size());
  return g_actions.data();
}

// The time one byte takes on the emulated line, in us (0: no line speed).
EMSCRIPTEN_KEEPALIVE int xrsim_byte_time_us() { return sim_byte_time_us(g_sim.config.line_baud); }

// What the instrument received, as JSON.
EMSCRIPTEN_KEEPALIVE const char* xrsim_record() {
  const SimRecord& r = g_sim.record;
  JsonObject object;
  object.number("messages", r.messages).number("version_requests", r.version_requests)
      .number("setmodes", r.setmodes).number("attr_code", r.attr_code)
      .number("expected_packets", r.expected_packets).number("packets", r.packets)
      .number("bad_packets", r.bad_packets).number("updates_completed", r.updates_completed)
      .number("stray_bytes", r.stray_bytes).text("last_error", r.last_error.c_str())
      .boolean("closed", g_sim.closed);
  g_json = object.str();
  return g_json.c_str();
}

// The image of the update under way (whole once all its packets arrived).
EMSCRIPTEN_KEEPALIVE const unsigned char* xrsim_image(int* size) {
  *size = static_cast<int>(g_sim.record.image.size());
  return g_sim.record.image.data();
}

}  // extern "C"

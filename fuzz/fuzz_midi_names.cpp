// The MIDI device named by --midi-out/--midi-in, against a model of the rules:
// - a number (digits only, at most six) is the device of that number, unless
//   the text is also in another device's name: then it fits two devices and is
//   refused as ambiguous; a number past the last device is looked for among
//   the names, as any other text;
// - else a whole name first, and a part of a name only when no name is whole;
// - two whole names, or two names holding the part, are refused as ambiguous;
// - a refusal always says why, within the space given.
// The devices stand in for the driver's list, each named as the platform's
// record holds it (31 bytes at most); a device whose record cannot be read has
// no name.
//
// The input: a byte of flags (bit 0: outputs, else inputs), a byte whose bits
// say which devices' records cannot be read, a byte for the space given to the
// reason, then the text asked for and the device names, split at zero bytes.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_rule.h"
#include "link/midi_driver.h"
#include "tests/fake_midi_devices.h"
#include "ui/link_choice.h"

namespace {

constexpr size_t kMostDevices = 10;

struct Expected {
  int id = -1;
  bool ambiguous = false;
  const char* rule = "";
};

Expected model(const std::vector<std::string>& names, const std::string& text) {
  Expected e;
  const bool number = !text.empty() && text.size() <= 6 && text.find_first_not_of("0123456789") == std::string::npos;
  if (number && std::stoul(text) < names.size()) {
    const unsigned long id = std::stoul(text);
    for (size_t other = 0; other < names.size(); ++other) {
      if (other != id && names[other].find(text) != std::string::npos) {
        e.ambiguous = true;
        e.rule = "a number that is also in another device's name is refused as ambiguous";
        return e;
      }
    }
    e.id = static_cast<int>(id);
    e.rule = "a number is the device of that number";
    return e;
  }
  for (int pass = 0; pass < 2; ++pass) {
    int found = -1;
    for (size_t id = 0; id < names.size(); ++id) {
      const bool fits = pass == 0 ? names[id] == text : names[id].find(text) != std::string::npos;
      if (!fits) continue;
      if (found >= 0) {
        e.ambiguous = true;
        e.rule = pass == 0 ? "two whole names are refused as ambiguous" : "two names holding the part are refused";
        return e;
      }
      found = static_cast<int>(id);
    }
    if (found >= 0) {
      e.id = found;
      e.rule = pass == 0 ? "a whole name is that device, before any part" : "a part of one name is that device";
      return e;
    }
  }
  e.rule = "a text in no name names no device";
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool output = (data[0] & 1) != 0;
  const unsigned unreadable = data[1];
  const int why_size = 1 + data[2];
  std::vector<std::string> pieces(1);
  for (size_t i = 3; i < size && pieces.size() <= kMostDevices + 1; ++i) {
    if (data[i] == 0) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  const std::string text = pieces[0];
  std::vector<FakeMidiOut> outputs;
  std::vector<FakeMidiIn> inputs;
  std::vector<std::string> shown;  // each device's name as the driver gives it
  for (size_t i = 1; i < pieces.size() && shown.size() < kMostDevices; ++i) {
    const bool fails = i <= 8 && ((unreadable >> (i - 1)) & 1) != 0;
    shown.push_back(fails ? "" : pieces[i].substr(0, kMidiNameSize - 1));
    outputs.push_back(FakeMidiOut{pieces[i], kModMidiPort, fails});
    inputs.push_back(FakeMidiIn{pieces[i], fails});
  }
  // Devices that show one name: the first keeps it, the later ones are told
  // apart by " #2", " #3" ..., the name cut so that the whole fits.
  std::map<std::string, int> seen;
  for (std::string& name : shown) {
    if (name.empty()) continue;
    const int n = ++seen[name];
    if (n < 2) continue;
    const std::string suffix = " #" + std::to_string(n);
    name = name.substr(0, kMidiNameSize - 1 - suffix.size()) + suffix;
  }
  // The other direction's list in the reverse order: a lookup that reads the
  // wrong list finds another device.
  if (output) {
    inputs.assign(inputs.rbegin(), inputs.rend());
  } else {
    outputs.assign(outputs.rbegin(), outputs.rend());
  }
  FakeMidiDevices devices(outputs, inputs);

  std::vector<char> why(static_cast<size_t>(why_size), '\x5A');
  bool ambiguous = true;
  const int id = midi_device_by_name(output, text.c_str(), why.data(), why_size, &ambiguous);
  const Expected expected = model(shown, text);
  if (id != expected.id || ambiguous != expected.ambiguous)
    fuzz_rule_broken(expected.rule, fuzz_shown(text) + " gave " + std::to_string(id) +
                                        (ambiguous ? " (ambiguous)" : "") + ", the model " +
                                        std::to_string(expected.id) + (expected.ambiguous ? " (ambiguous)" : ""));
  if (id < 0) {
    fuzz_rule(std::memchr(why.data(), 0, why.size()) != nullptr, "the reason ends within the space given");
    fuzz_rule(why_size == 1 || why[0] != '\0', "a refusal says why");
  }
  return 0;
}

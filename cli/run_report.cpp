#include "cli/run_report.h"

#include <cstdio>

#include "support/json_text.h"
#include "link/midi_names.h"
#include "ui/link_choice.h"

namespace {

const char* const kVersionLabels[3] = {"System", "User", "PCM"};
const char* const kVersionKeys[3] = {"system", "user", "pcm"};

}  // namespace

std::string link_json(const LinkTarget& link) {
  JsonObject object;
  if (link.devtype == kLinkSerial) {
    object.text("kind", "serial");
    if (link.com_port >= 1 && link.com_port <= 4) {
      object.text("port", ("COM" + std::to_string(link.com_port)).c_str());
    } else {
      object.raw("port", "null");
    }
    object.text("device", link.device).number("baud", link.baud);
  } else {
    object.text("kind", "midi").number("output", link.midi_out)
        .text("output_name", midi_name_of(true, link.midi_out).c_str()).number("input", link.midi_in)
        .text("input_name", midi_name_of(false, link.midi_in).c_str()).number("rate", link.xferrate);
  }
  return object.str();
}

std::string version_text(int version) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%02d", version / 256, version & 0xFF);
  return text;
}

const char* version_label(int which) { return which >= 0 && which < 3 ? kVersionLabels[which] : ""; }

std::string versions_json(const int versions[3]) {
  JsonObject object;
  for (int i = 0; i < 3; ++i) object.text(kVersionKeys[i], version_text(versions[i]).c_str());
  return object.str();
}

std::string versions_line(const int versions[3]) {
  std::string line;
  for (int i = 0; i < 3; ++i) line += std::string(i ? ", " : "") + kVersionLabels[i] + " " + version_text(versions[i]);
  return line;
}

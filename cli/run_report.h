#pragma once
// What the command line's commands say about a run: the link and the
// instrument's versions, as JSON members and as text.

#include <string>

#include "link/link_target.h"

// {"kind":"serial","port":"COM1" or null,"device":...,"baud":...} or
// {"kind":"midi","output":...,"output_name":...,"input":...,"input_name":...,"rate":...}
std::string link_json(const LinkTarget& link);
// {"system":"1.05","user":"1.00","pcm":"1.00"}: the reply's three versions by
// the display's labels.
std::string versions_json(const int versions[3]);
// "System 1.05, User 1.00, PCM 1.00"
std::string versions_line(const int versions[3]);
// "1.05"
std::string version_text(int version);
// The display's label of version 0..2: "System", "User", "PCM".
const char* version_label(int which);

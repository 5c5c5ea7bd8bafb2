#pragma once
// Names (paths, devices) as a line of text output shows them: a control
// character (a line break, an escape) would end the line or drive the terminal,
// so it is written as \n, \r, \t or \xNN; every other byte stays as it is.

#include <string>

std::string printable_text(const std::string& text);

#pragma once

// WM_COMMAND identifiers of the main window. The transfer thread posts 208 and
// 209; a second copy of the program posts 211 to hand over a path.
enum CommandId : int {
  IDM_EXIT = 201,
  IDM_STOP = 202,
  IDM_CONFIG = 203,
  IDM_UPDATE = 207,
  IDM_TFR_END = 208,
  IDM_STOP_ENABLE = 209,
  IDM_CMDLINE_START = 210,
  IDM_RXW_FILENAME = 211,
};

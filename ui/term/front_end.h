#pragma once
// `xrupdate [--ini PATH] [/h] [FILE...]`: the terminal front end. argv[0] is the
// program; the rest are its arguments. Returns the exit status.

int run_front_end(int argc, const char* const* argv);

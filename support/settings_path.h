#pragma once
// Where the Linux program keeps its settings file, and what is wrong with a
// place that cannot hold it.
//
// The file is, in this order of choice:
//   1. the path given with --ini;
//   2. "xrupdate.ini" beside the program, when that file exists and can be
//      written (a portable copy that travels with the program);
//   3. "$XDG_CONFIG_HOME/xrupdate/xrupdate.ini", or
//      "$HOME/.config/xrupdate/xrupdate.ini" when XDG_CONFIG_HOME is unset,
//      empty or not an absolute path. Its folder is made on the first save.

// How the settings file was chosen.
enum SettingsPlace : int {
  kSettingsGiven = 1,     // --ini PATH
  kSettingsPortable = 2,  // beside the program
  kSettingsConfig = 3,    // in the user's config folder
};

// What the choice is made from, gathered by settings_path_inputs (or by a test).
struct SettingsPathInputs {
  const char* ini_override;     // --ini PATH, or null
  const char* working_dir;      // makes a relative --ini absolute; may be null
  const char* program_dir;      // the folder of the executable, or null when unknown
  const char* xdg_config_home;  // the variable's value, or null when unset
  const char* home;             // the user's home folder, or null when unknown
};

// Fills `inputs` from the process: the working directory, /proc/self/exe, the
// environment (HOME, else the password database). The texts live until the next call.
void settings_path_inputs(const char* ini_override, SettingsPathInputs* inputs);

// Chooses the settings file. 1 with the path in out (size bytes) and the way it
// was chosen in *place; 0 when the path does not fit (a cut path would name
// another file) or no folder is known at all.
int settings_path_choose(const SettingsPathInputs& inputs, char* out, int size, int* place);

// Makes the folder that holds `file`, with its missing parents, each readable
// by the user only, as config folders are. 1 when it exists afterwards;
// 0 with the reason in why (size bytes), naming the folder that could not be made.
int settings_folder_make(const char* file, char* why, int size);

// Why `file` cannot be read or kept: 1 with a reason in why ("it is a folder",
// "it is a link to ..., whose folder does not exist", ...), 0 when nothing is
// wrong that can be seen before writing. `for_saving` also looks at whether
// the file, or a new file in its folder, can be written.
int settings_file_problem(const char* file, int for_saving, char* why, int size);

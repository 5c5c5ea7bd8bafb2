#pragma once
// The support log "vup_log.txt": a banner per run, then one entry per event.
// Every entry ends in a blank line, lines end in CR LF on every platform, and
// each entry is flushed and committed to disk before write_log returns.

#if defined(__GNUC__)
#define XR_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define XR_PRINTF(fmt, args)
#endif

constexpr const char kLogFileName[] = "vup_log.txt";

// What start-up tells the user when open_log fails.
constexpr const char kLogOpenFailedText[] =
    "Failed to create log file. The application will not be able to record support information.\n"
    "Please copy the application to a writeable disk (e.g. your 'C:' drive)\n"
    "so this useful support information can be recorded.\n\nThe application will continue correctly.";

// Opens the log in the current directory and writes the banner; 0 when the
// file cannot be opened (the program then runs without a log).
int open_log();
// Appends one entry: the formatted text, then a blank line.
void write_log(const char* format, ...) XR_PRINTF(1, 2);
// Appends one entry whose text is already composed; a '%' in it is kept as it is.
void write_log_text(const char* text);
void close_log();
// One of several runs that share the log: each entry then begins "[DEVICE] "
// (already printable). "" or null: no tag, as for a run of its own.
void set_log_tag(const char* device);

// The operating-system text for the banner, in a static buffer.
const char* get_win_ver();

// The classification behind get_win_ver, a pure function: `ok` is whether the
// platform gave a version record. Writes into out (at most size bytes).
void classify_win_ver(int ok, unsigned platform_id, unsigned major, unsigned minor,
                      const char* csd_version, char* out, int size);

// Where the four values come from: GetVersionExA on Windows; Linux has no such
// record. Returns 1 and fills the values when the platform gives them.
int platform_version_info(unsigned* platform_id, unsigned* major, unsigned* minor,
                          char* csd_version, int csd_size);

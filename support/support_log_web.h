#pragma once
// The support log's bytes in the browser, for the page to show and download.

// The bytes written so far, up to the end of the last whole entry; 0 before
// the log is open.
int log_web_size();
// Those bytes (the first log_web_size() count).
const char* log_web_bytes();

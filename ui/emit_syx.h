#pragma once
// `--emit-syx FILE OUT`: Set Mode and every data packet of an update file,
// exactly as they would go on the wire, written to a .syx file.

// 0 on success; 1 when the file is refused or OUT cannot be written (a message
// on `err`).
int emit_syx(const char* update_path, const char* out_path, void* err /* FILE* */);

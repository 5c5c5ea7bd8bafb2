#pragma once
// Seven-bit packing of data inside a system-exclusive message: groups of seven
// source bytes become a header byte (their top bits) and their low seven bits.

// Packed length for n source bytes (n >= 1): n + ceil(n / 7).
constexpr int packed_length(int n) { return n + (n + 6) / 7; }

// Packs n (>= 1) source bytes into dest; stores the checksum (sum of the packed
// bytes mod 128) when `checksum` is not null. Returns the packed length.
int encode_midi(const unsigned char* source, unsigned char* dest, int n, unsigned char* checksum);

// Unpacks n (>= 1) packed bytes into dest; returns n - ceil(n / 8).
int decode_midi(const unsigned char* packed, unsigned char* dest, int n);

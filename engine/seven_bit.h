#pragma once
// Seven-bit packing of data inside a system-exclusive message: groups of seven
// source bytes become a header byte (their top bits) and their low seven bits.

// Packed length for n source bytes (n >= 1): n + ceil(n / 7).
constexpr int packed_length(int n) { return n + (n + 6) / 7; }

// Packs n (>= 1) source bytes into dest; stores the checksum (sum of the packed
// bytes mod 128) when `checksum` is not null. Returns the packed length.
int encode_midi(const unsigned char* source, unsigned char* dest, int n, unsigned char* checksum);

// Packs the leading whole groups of the n source bytes with vector instructions
// where the processor has them, always leaving at least one byte; adds the sum
// of their packed bytes (modulo 256) to *sum and returns the count of source
// bytes done (a multiple of seven, 0 without such instructions). Part of encode_midi.
int pack_wide_groups(const unsigned char* source, unsigned char* dest, int n, unsigned* sum);

// Unpacks n (>= 1) packed bytes into dest; returns n - ceil(n / 8).
int decode_midi(const unsigned char* packed, unsigned char* dest, int n);

// LZSS streams with a 4096-byte ring: the decoder of the information file
// and the encoder the publisher uses to produce it.
#pragma once

#include <cstdio>

constexpr int kLzssRingSize = 4096;
constexpr int kLzssMaxMatch = 18;
constexpr int kLzssThreshold = 2;  // references cover more than this many bytes
constexpr int kLzssFill = ' ';
constexpr int kLzssStart = kLzssRingSize - kLzssMaxMatch;  // first write position

// Decodes input to its end into output; returns EOF, callers judge the output.
int lzss_decode(FILE *input, FILE *output);
// Encodes input to its end; 0 on success, -1 on a read, write or memory error.
int lzss_encode(FILE *input, FILE *output);

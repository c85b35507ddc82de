// Strict base64 of RFC 4648: the "+/" alphabet, "=" as the pad character.
#pragma once

#include <cstddef>

// Decodes the terminated text `in` into `out` and terminates it; `out_size`
// counts that terminator, so at most out_size - 1 bytes are decoded (127 for
// a 128-byte buffer). The empty text decodes to the empty text.
//
// Returns the decoded length (zero bytes inside the data included), or -1
// for text it refuses, after logging why at level 3: a character outside the
// alphabet (white space, line breaks and bytes of 128 and above included), a
// length that is not a multiple of four, "=" anywhere but as the last one or
// two characters, or a value that does not fit `out_size`. On -1 nothing has
// been written to `out`.
int base64_decode(const char *in, char *out, size_t out_size);

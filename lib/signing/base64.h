#pragma once

namespace kelv {

// The encoded length of n bytes plus one for the terminating NUL.
int base64EncodedLength(int n);
// Standard alphabet with "=" padding, no line breaks; returns the characters written,
// the NUL included. `out` holds at least base64EncodedLength(n) bytes.
int base64Encode(char* out, const unsigned char* in, int n);

}  // namespace kelv

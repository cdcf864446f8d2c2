#pragma once

namespace kelv {

// Verbose diagnostics on standard output. Each line is written with a single stdio call
// so that lines of different I/O threads never interleave. Keep costly arguments behind
// an explicit `if (verbose)`.
[[gnu::format(printf, 2, 3)]] void verbosef(bool on, const char* format, ...);
// Prints the text followed by a line end.
void verboseLine(bool on, const char* text);

}  // namespace kelv

#include "kelv/input_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

namespace kelv {
namespace {

constexpr size_t READ_CHUNK_SIZE = 64 * 1024;

}  // namespace

InputFileResult readInputFile(const std::string& path, std::string& body) {
  // Only a regular file has an end: a device such as /dev/zero would be read until memory
  // runs out, and opening a FIFO waits for a writer that may never come.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    std::fprintf(stderr, "Cannot read input file %s\n", path.c_str());
    return InputFileResult::UNREADABLE;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "Cannot open input file %s\n", path.c_str());
    return InputFileResult::UNREADABLE;
  }
  // Read to the end rather than trusting a size: a directory opens but reports no
  // meaningful one.
  body.clear();
  char chunk[READ_CHUNK_SIZE];
  while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0) {
    body.append(chunk, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) {
    std::fprintf(stderr, "Cannot read input file %s\n", path.c_str());
    body.clear();
    return InputFileResult::UNREADABLE;
  }
  return InputFileResult::OK;
}

}  // namespace kelv

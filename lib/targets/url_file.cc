#include <fstream>
#include <iostream>

#include "absl/strings/str_cat.h"
#include "lib/targets/target_url.h"
#include "lib/util/line_buffer.h"

namespace kelv {
namespace {

// A line and its first line-end byte must fit: lines of up to 8191 characters are read.
constexpr int URL_FILE_BUFFER_SIZE = 8192;

// Adds a target for every complete line in the buffer; stops at the first invalid one.
Status addLines(LineBuffer& buffer) {
  while (buffer.NextLine()) {
    Status status = TargetUrl::Add(buffer.Line());
    if (!status.ok()) return status;
  }
  return Status();
}

}  // namespace

// Reads the file in blocks of the buffer's free space. A line that fills the whole buffer
// is refused: ending the load there would drop the rest of the file unseen.
Status TargetUrl::LoadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (in.fail()) return Status(StatusCode::IO_ERROR, path);
  LineBuffer buffer(URL_FILE_BUFFER_SIZE);
  // A CR LF split by a block boundary is one line end, not a blank line that would fail.
  buffer.SetJoinSplitLineEnds(true);
  while (buffer.ReadFrom(in) > 0) {
    if (Status status = addLines(buffer); !status.ok()) return status;
    if (!buffer.Compact()) {
      return Status(StatusCode::INVALID_URL, absl::StrCat("line of ", URL_FILE_BUFFER_SIZE,
                                                          " or more characters in ", path));
    }
  }
  // A read error (a directory, say) must not pass for the end of the file.
  if (in.bad()) return Status(StatusCode::IO_ERROR, path);
  // The last line counts without a line end too; it is shorter than the buffer, so its end fits.
  if (buffer.EndUnfinishedLine()) {
    if (Status status = addLines(buffer); !status.ok()) return status;
  }
  std::cout << "Read " << List().size() << " URLs from \"" << path << "\"" << std::endl;
  return Status();
}

}  // namespace kelv

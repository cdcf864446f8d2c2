#pragma once

#include <string>
#include <string_view>

namespace kelv {

// A fresh directory under $TMPDIR (or /tmp) for one test, removed with everything in it when
// the object goes. Path() is empty when it could not be created.
class ScratchDir {
 public:
  explicit ScratchDir(std::string_view prefix = "kelv");
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();

  const std::string& Path() const { return path; }
  // Path() + "/" + name.
  std::string File(std::string_view name) const;
  // Writes (replaces) a file below the directory, creating its parent directories.
  bool WriteFile(std::string_view name, std::string_view content) const;

 private:
  std::string path;
};

// The whole content of a file, or empty when it cannot be read.
std::string readWholeFile(const std::string& path);

}  // namespace kelv

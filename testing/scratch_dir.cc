#include "testing/scratch_dir.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace kelv {

ScratchDir::ScratchDir(std::string_view prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                        std::string(prefix) + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) != nullptr) path = name.data();
}

ScratchDir::~ScratchDir() {
  if (path.empty()) return;
  std::error_code ignored;  // a directory that cannot be removed is left behind, not fatal
  std::filesystem::remove_all(path, ignored);
}

std::string ScratchDir::File(std::string_view name) const { return path + "/" + std::string(name); }

bool ScratchDir::WriteFile(std::string_view name, std::string_view content) const {
  if (path.empty()) return false;
  std::filesystem::path target = File(name);
  std::error_code error;
  std::filesystem::create_directories(target.parent_path(), error);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out.flush());
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace kelv

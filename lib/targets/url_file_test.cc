#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/targets/target_url.h"
#include "testing/scratch_dir.h"

namespace kelv {
namespace {

const std::string URL_BASE = "http://127.0.0.1/";
constexpr size_t BUFFER_SIZE = 8192;  // the loader's block size

struct Loaded {
  Status status;
  std::string output;              // what the loader printed
  std::vector<std::string> paths;  // the list's paths, in order
};

Loaded loadPath(const std::string& path) {
  TargetUrl::ClearListForTest();
  Loaded loaded;
  testing::internal::CaptureStdout();
  loaded.status = TargetUrl::LoadFile(path);
  loaded.output = testing::internal::GetCapturedStdout();
  for (const auto& target : TargetUrl::List()) loaded.paths.push_back(target->path);
  TargetUrl::ClearListForTest();
  return loaded;
}

Loaded loadText(const std::string& content) {
  ScratchDir dir("kelv-urls");
  EXPECT_TRUE(dir.WriteFile("urls.txt", content));
  Loaded loaded = loadPath(dir.File("urls.txt"));
  if (loaded.status.ok()) {
    EXPECT_EQ(loaded.output, "Read " + std::to_string(loaded.paths.size()) + " URLs from \"" +
                                 dir.File("urls.txt") + "\"\n");
  }
  return loaded;
}

// A URL of exactly the given length whose path tells it apart.
std::string urlOfLength(size_t length, char fill) {
  return URL_BASE + std::string(length - URL_BASE.size(), fill);
}

using Paths = std::vector<std::string>;

TEST(TargetUrl, LoadFileCountsOneTargetPerLine) {
  const Paths expected = {"/a", "/b", "/c"};
  for (const std::string& text :
       {URL_BASE + "a\n" + URL_BASE + "b\n" + URL_BASE + "c\n",
        URL_BASE + "a\r\n" + URL_BASE + "b\r\n" + URL_BASE + "c\r\n",
        URL_BASE + "a\n\n\r\n" + URL_BASE + "b\r\r\n\n" + URL_BASE + "c\n\n"}) {
    const Loaded loaded = loadText(text);
    EXPECT_TRUE(loaded.status.ok()) << loaded.status;
    EXPECT_EQ(loaded.paths, expected);
  }
}

TEST(TargetUrl, LoadFileRefusesABlankFirstLine) {
  const Loaded loaded = loadText("\n" + URL_BASE + "a\n");
  EXPECT_EQ(loaded.status.code, StatusCode::INVALID_URL);
  EXPECT_EQ(loaded.status.ToString(), "Invalid URL");
  EXPECT_TRUE(loaded.paths.empty());
  EXPECT_EQ(loaded.output, "");
}

TEST(TargetUrl, LoadFileStopsAtAnInvalidLineKeepingTheOnesBefore) {
  const Loaded loaded = loadText(URL_BASE + "a\n" + URL_BASE + "b \n" + URL_BASE + "c\n");
  EXPECT_EQ(loaded.status.ToString(), "Invalid URL: " + URL_BASE + "b ");
  EXPECT_EQ(loaded.paths, (Paths{"/a"}));
  EXPECT_EQ(loaded.output, "");
}

TEST(TargetUrl, LoadFileThatCannotBeReadIsAnIoError) {
  ScratchDir dir("kelv-urls");
  const Loaded missing = loadPath(dir.File("absent.txt"));
  EXPECT_EQ(missing.status.ToString(), "I/O error: " + dir.File("absent.txt"));
  EXPECT_EQ(missing.output, "");
  // A directory opens but cannot be read: that is not an empty file.
  const Loaded directory = loadPath(dir.Path());
  EXPECT_EQ(directory.status.ToString(), "I/O error: " + dir.Path());
  EXPECT_EQ(directory.output, "");
}

// The last line counts without a line end too, as long as any other line would; after a
// CR LF line, and when it starts in one block and ends with the file in the next.
TEST(TargetUrl, LoadFileReadsTheLastLineWithoutALineEnd) {
  const std::string longest = urlOfLength(BUFFER_SIZE - 1, 'L');
  const std::pair<std::string, Paths> cases[] = {
      {"", {}},
      {URL_BASE + "a", {"/a"}},
      {URL_BASE + "a\r\n" + URL_BASE + "b", {"/a", "/b"}},
      {URL_BASE + "a\n" + longest, {"/a", longest.substr(URL_BASE.size() - 1)}},
  };
  for (const auto& [text, expected] : cases) {
    const Loaded loaded = loadText(text);
    EXPECT_TRUE(loaded.status.ok()) << loaded.status;
    EXPECT_EQ(loaded.paths, expected) << text.substr(0, 60);
  }
  EXPECT_EQ(loadText(URL_BASE + "a\n" + URL_BASE + "b ").status.ToString(),
            "Invalid URL: " + URL_BASE + "b ");
  const Loaded tooLong = loadText(URL_BASE + "a\n" + urlOfLength(BUFFER_SIZE, 'L'));
  EXPECT_NE(tooLong.status.ToString().find("line of 8192 or more characters"), std::string::npos)
      << tooLong.status;
}

TEST(TargetUrl, LoadFileReadsLinesAcrossBlockBoundaries) {
  // 101 lines of 78 characters and CR LF fill 8080 bytes; a line of 111 characters then puts
  // its CR in the last byte of the first block and its LF first in the second.
  std::string text;
  Paths expected;
  for (int i = 0; i < 101; ++i) {
    const std::string url = urlOfLength(78, static_cast<char>('a' + i % 26));
    text += url + "\r\n";
    expected.push_back(url.substr(URL_BASE.size() - 1));
  }
  const std::string split = urlOfLength(111, 'S');
  text += split + "\r\n";
  ASSERT_EQ(text.size(), BUFFER_SIZE + 1);
  ASSERT_EQ(text[BUFFER_SIZE - 1], '\r');
  expected.push_back(split.substr(URL_BASE.size() - 1));
  // Then enough lines of varied lengths, some with runs of blank lines, for several blocks.
  for (int i = 0; i < 600; ++i) {
    const std::string url = URL_BASE + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'z');
    text += url + (i % 5 == 0 ? "\r\n\r\n\n" : "\r\n");
    expected.push_back(url.substr(URL_BASE.size() - 1));
  }
  ASSERT_GT(text.size(), 3 * BUFFER_SIZE);
  const Loaded loaded = loadText(text);
  EXPECT_TRUE(loaded.status.ok()) << loaded.status;
  EXPECT_EQ(loaded.paths, expected);
}

TEST(TargetUrl, LoadFileReadsLinesOfUpTo8191Characters) {
  const std::string longest = urlOfLength(BUFFER_SIZE - 1, 'L');
  // At the start of the file, and after a shorter line so that it starts mid-block.
  const Loaded first = loadText(longest + "\r\n" + URL_BASE + "b\n");
  EXPECT_TRUE(first.status.ok()) << first.status;
  EXPECT_EQ(first.paths.size(), 2u);
  const Loaded second = loadText(URL_BASE + "a\n" + longest + "\n" + URL_BASE + "b\n");
  EXPECT_TRUE(second.status.ok());
  ASSERT_EQ(second.paths.size(), 3u);
  EXPECT_EQ(second.paths[1].size(), BUFFER_SIZE - URL_BASE.size());
}

// Stopping there would drop the URLs after it without a word.
TEST(TargetUrl, LoadFileRefusesALineOf8192Characters) {
  const std::string tooLong = urlOfLength(BUFFER_SIZE, 'L');
  const Loaded loaded = loadText(URL_BASE + "a\n" + tooLong + "\n" + URL_BASE + "b\n");
  EXPECT_EQ(loaded.status.code, StatusCode::INVALID_URL);
  EXPECT_NE(loaded.status.ToString().find("line of 8192 or more characters in "),
            std::string::npos)
      << loaded.status;
  EXPECT_EQ(loaded.paths, (Paths{"/a"}));
}

}  // namespace
}  // namespace kelv

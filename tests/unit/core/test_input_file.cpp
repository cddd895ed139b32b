// Files a user names are read only when they are regular files of bounded size: anything
// else is refused with what it is, at once, without blocking or reading without end.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/InputFile.h"
#include "test_support.h"

TEST(InputFile, OnlyARegularFileOfBoundedSizeIsRead) {
  const testsupport::TempFolder folder("brevant-input");
  ASSERT_FALSE(folder.Path().empty());
  const std::string dir = folder.Path();
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // no writer: an open or read would block
  ASSERT_TRUE(testsupport::WriteFile(dir + "/small", {'a', 'b', 'c'}));
  ASSERT_TRUE(testsupport::WriteFile(dir + "/large", std::vector<uint8_t>(4097, 'x')));
  ASSERT_TRUE(testsupport::WriteFile(dir + "/empty", {}));

  const struct {
    std::string path;
    size_t max;
    const char* why;  // empty: read
    std::string contents;
  } cases[] = {
      {dir + "/small", 3, "", "abc"},
      {dir + "/empty", 3, "", ""},
      {dir + "/large", 4096, "is 4097 bytes, more than the 4096 allowed", ""},
      {fifo, 4096, "is a FIFO (named pipe), not a file", ""},
      {dir, 4096, "is a folder, not a file", ""},
      {"/dev/zero", 4096, "is a device, not a file", ""},
      {dir + "/missing", 4096, "no such file", ""},
  };
  for (const auto& c : cases) {
    std::string contents = "left over", why;
    const bool read = ReadInputFile(c.path, c.max, &contents, &why);
    EXPECT_EQ(read, *c.why == '\0') << c.path << ": " << why;
    EXPECT_EQ(contents, c.contents) << c.path;
    if (!read) {
      EXPECT_EQ(why, c.why) << c.path;
    }
    EXPECT_EQ(CheckInputFile(c.path, &why), read || c.path == dir + "/large") << c.path;
  }
  unlink(fifo.c_str());
}

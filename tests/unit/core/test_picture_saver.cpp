// Saving a picture never replaces a file: not one saved earlier in the same second, not
// one the operator put there.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "core/PictureSaver.h"
#include "test_support.h"

namespace {

class PictureSaverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_folder.Path().empty());
    m_dir = m_folder.Path();
    m_when = testsupport::PinnedSaveTime();
  }
  static void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  static std::string Read(const std::string& path) { return testsupport::ReadText(path); }
  testsupport::TempFolder m_folder{"brevant-save"};
  std::string m_dir;
  std::tm m_when{};
};

TEST_F(PictureSaverTest, TimestampedNamesNeverReplaceAnExistingFile) {
  EXPECT_EQ(SavedPictureName("/d", false, m_when), "/d/jpeg_20261206_201530.jpg");
  EXPECT_EQ(SavedPictureName("/d/", true, m_when, 3), "/d/yuv_20261206_201530_3.yuv");

  // Three pictures in the same second, the first name taken by an unrelated file.
  const std::string first = m_dir + "/jpeg_20261206_201530.jpg";
  Write(first, "keep me");
  std::vector<std::string> saved;
  for (const char* content : {"one", "two", "three"}) {
    Write(m_dir + "/jpeg.tmp", content);
    const SaveOutcome outcome = SavePicture(m_dir + "/jpeg.tmp", m_dir, false, m_when);
    ASSERT_EQ(outcome.kind, SaveOutcome::Saved) << outcome.error;
    saved.push_back(outcome.target);
  }
  EXPECT_EQ(saved[0], m_dir + "/jpeg_20261206_201530_2.jpg");
  EXPECT_EQ(saved[2], m_dir + "/jpeg_20261206_201530_4.jpg");
  EXPECT_EQ(Read(first), "keep me");
  EXPECT_EQ(Read(saved[0]), "one");
  EXPECT_EQ(Read(saved[2]), "three");
  EXPECT_NE(access((m_dir + "/jpeg.tmp").c_str(), F_OK), 0);

  // The kind comes from the caller, not the temporary file's name.
  Write(m_dir + "/jpeg.tmp", "nv12");
  EXPECT_EQ(SavePicture(m_dir + "/jpeg.tmp", m_dir, true, m_when).target,
            m_dir + "/yuv_20261206_201530.yuv");

  // A missing temporary file fails and says why; no name means nothing to do.
  const SaveOutcome missing = SavePicture(m_dir + "/jpeg.tmp", m_dir, false, m_when);
  EXPECT_EQ(missing.kind, SaveOutcome::Failed);
  EXPECT_FALSE(missing.error.empty());
  EXPECT_EQ(SavePicture("", m_dir, false, m_when).kind, SaveOutcome::Nothing);
}

// /dev/shm is another file system than /tmp on most machines: rename cannot cross it, the
// copy must, and the temporary file goes only once the copy is whole.
TEST_F(PictureSaverTest, AnotherFileSystemIsCopied) {
  const testsupport::TempFolder shm("brevant-save", "/dev/shm");
  if (shm.Path().empty()) GTEST_SKIP() << "no /dev/shm here";
  const std::string tmp = shm.File("jpeg.tmp");
  Write(tmp, "picture");
  const SaveOutcome outcome = SavePicture(tmp, m_dir, false, m_when);
  EXPECT_EQ(outcome.kind, SaveOutcome::Saved) << outcome.error;
  EXPECT_EQ(Read(outcome.target), "picture");
  EXPECT_NE(access(tmp.c_str(), F_OK), 0);
}

}  // namespace

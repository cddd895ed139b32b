// What a station run records of each unit against virtual cameras: the shipped line plan
// passes and numbers its units without repeats across runs, the unit is judged by its
// capture, and an interrupt lets the camera run again and is marked in the reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "CliRunner.h"
#include "camsim/CamSim.h"
#include "cli_run.h"
#include "jpeg_test_util.h"
#include "test_files.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::unique_ptr<CCamSim> Camera(unsigned baud = 0) {
  CamSimOptions options;
  options.baud = baud;
  auto cam = std::make_unique<CCamSim>(options);
  EXPECT_TRUE(cam->Start());
  return cam;
}

std::vector<std::vector<std::string>> CsvRows(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(testsupport::ReadText(path));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::string field;
    std::istringstream parts(line);
    while (std::getline(parts, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.push_back("");
    rows.push_back(fields);
  }
  return rows;
}

std::string Column(const std::vector<std::vector<std::string>>& rows, size_t row, const std::string& name) {
  for (size_t i = 0; i < rows[0].size(); ++i)
    if (rows[0][i] == name) return row < rows.size() && i < rows[row].size() ? rows[row][i] : "?";
  return "no column " + name;
}

TEST(StationRecords, TheLinePlanPassesAndNumbersItsUnitsWithoutRepeatsAcrossRuns) {
  testsupport::TempFolder dir("brevant-line");
  auto a = Camera();
  auto b = Camera();
  const std::string plan = std::string(BREVANT_SOURCE_DIR) + "/examples/line.toml";
  const std::string ports = a->SlavePath() + "," + b->SlavePath();
  std::vector<std::string> serials;
  for (int run = 0; run < 2; ++run) {
    const auto result = testsupport::RunCli({"--out", dir.Path(), "station", plan, "--ports", ports,
                                             "--csv", dir.Slash() + "run.csv", "--junit", dir.Slash() + "run.xml"});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    const auto rows = CsvRows(dir.Slash() + "run.csv");
    ASSERT_EQ(rows.size(), 3u);
    for (size_t row = 1; row < rows.size(); ++row) {
      serials.push_back(Column(rows, row, "serial_written"));
      EXPECT_EQ(Column(rows, row, "unit"), serials.back());
      EXPECT_EQ(Column(rows, row, "result"), "pass");
    }
    // Each check of the capture is a measurement row with its limits.
    const auto measurements = CsvRows(dir.Slash() + "run-measurements.csv");
    ASSERT_EQ(measurements.size(), 1u + 2 * 4) << testsupport::ReadText(dir.Slash() + "run-measurements.csv");
    EXPECT_EQ(Column(measurements, 1, "name"), "sharpness");
    EXPECT_EQ(Column(measurements, 1, "low"), "8");
    EXPECT_EQ(Column(measurements, 1, "marginal_low"), "12");
    EXPECT_NE(testsupport::ReadText(dir.Slash() + "run.xml").find("name=\"measurement.luma.outcome\" value=\"pass\""),
              std::string::npos);
  }
  EXPECT_EQ(serials, (std::vector<std::string>{"SN001000", "SN001001", "SN001002", "SN001003"}));
  // A unit tested again under its own name is its second attempt.
  const auto again = testsupport::RunCli({"--out", dir.Path(), "station", plan, "--ports", a->SlavePath(),
                                          "--unit", a->SlavePath() + "=SN001001", "--csv", dir.Slash() + "run.csv"});
  ASSERT_EQ(again.status, 0) << again.err;
  const auto rows = CsvRows(dir.Slash() + "run.csv");
  EXPECT_EQ(Column(rows, 1, "unit"), "SN001001");
  EXPECT_EQ(Column(rows, 1, "attempt"), "2");
  EXPECT_EQ(Column(rows, 1, "serial_written"), "SN001001");
  // The counter's next number given by hand to another port of the same run is passed over:
  // one run never tests two units of one name.
  const auto mixed = testsupport::RunCli({"--out", dir.Path(), "station", plan, "--ports", ports, "--unit",
                                          b->SlavePath() + "=SN001004", "--csv", dir.Slash() + "run.csv"});
  ASSERT_EQ(mixed.status, 0) << mixed.err;
  const auto both = CsvRows(dir.Slash() + "run.csv");
  ASSERT_EQ(both.size(), 3u);
  EXPECT_EQ(Column(both, 1, "unit"), "SN001005");
  EXPECT_EQ(Column(both, 2, "unit"), "SN001004");
}

TEST(StationRecords, TheUnitIsJudgedByItsCaptureAndEveryPictureIsReported) {
  testsupport::TempFolder dir("brevant-line");
  auto cam = Camera();
  // What the camera stored earlier (a detection's picture): not this unit's test.
  const std::vector<uint8_t> rgb = jpegtest::MakePhotoLikeRgb(160, 120);
  cam->SetStoredPictures({jpegtest::EncodeJpeg(rgb.data(), 160, 120, 3)});
  const std::string plan = dir.Slash() + "plan.toml";
  const std::string text =
      "[[step]]\nkind = \"capture\"\nchecks = \"uniform=no\"\n[[step]]\nkind = \"read-stored\"\nindex = 1\n";
  testsupport::WriteFile(plan, std::vector<uint8_t>(text.begin(), text.end()));
  const auto result = testsupport::RunCli({"--out", dir.Path(), "station", plan, "--ports", cam->SlavePath(),
                                           "--csv", dir.Slash() + "run.csv"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto rows = CsvRows(dir.Slash() + "run.csv");
  const std::string pictures = Column(rows, 1, "pictures");
  const size_t split = pictures.find(';');
  ASSERT_NE(split, std::string::npos) << pictures;
  EXPECT_EQ(Column(rows, 1, "picture"), pictures.substr(0, split));
  EXPECT_NE(pictures.substr(split + 1), pictures.substr(0, split));
  EXPECT_EQ(Column(rows, 1, "width"), "640") << "the figures are the capture's, not the stored picture's";
}

TEST(StationRecords, AnInterruptedPictureLeavesTheCameraRunningAndTheReportsSaySo) {
  testsupport::TempFolder dir("brevant-line");
  // At 9600 the picture takes long enough to be caught under way.
  auto slow = Camera(9600);
  const std::string plan = dir.Slash() + "plan.toml";
  const std::string text = "baud = 9600\n[[step]]\nkind = \"capture\"\n[[step]]\nkind = \"reset\"\n";
  testsupport::WriteFile(plan, std::vector<uint8_t>(text.begin(), text.end()));
  std::ostringstream out, err;
  cli::CCliRunner runner(out, err);
  runner.SetResultsStore(station::DatabaseStore());
  int status = -1;
  std::thread station([&] {
    status = runner.Run({"--out", dir.Path(), "station", plan, "--ports", slow->SlavePath(), "--csv",
                         dir.Slash() + "run.csv", "--junit", dir.Slash() + "run.xml"});
  });
  const auto transferring = [&] {
    for (const auto& entry : fs::recursive_directory_iterator(dir.Path()))
      if (entry.path().filename() == "jpeg.tmp") return true;
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!transferring() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(transferring());
  runner.Interrupt();
  station.join();
  EXPECT_EQ(status, 130) << err.str();
  // The last request the camera heard lets it run again.
  const std::vector<std::string> heard = slow->ReceivedHex();
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back(), "56 00 36 01 03");
  const auto rows = CsvRows(dir.Slash() + "run.csv");
  EXPECT_EQ(Column(rows, 1, "interrupted"), "1");
  const std::string xml = testsupport::ReadText(dir.Slash() + "run.xml");
  EXPECT_NE(xml.find("<property name=\"interrupted\" value=\"true\"/>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<skipped message=\"interrupted\"/>"), std::string::npos) << xml;
}

}  // namespace

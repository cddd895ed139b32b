// A station run's reports, read back by independent readers: Python's XML and CSV parsers
// and nlohmann-json.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>

#include "test_files.h"
#include "StationSample.h"
#include "station/StationReports.h"

namespace {

using namespace testsupport;
namespace fs = std::filesystem;

// Runs a Python reader on a file; its output, or a note of why it could not run.
std::string Python(const std::string& script, const std::string& file) {
  const std::string scriptPath = file + ".py";
  std::ofstream(scriptPath) << script;
  const std::string command = "python3 " + scriptPath + " " + file + " 2>&1";
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (pclose(p) != 0) out = "python3 failed: " + out;
  }
  return out;
}

TEST(StationReports, JUnitIsWellFormedWithEachCamerasFailuresAndSkips) {
  const testsupport::TempFolder dir("brevant-results");
  const std::string path = dir.Slash() + "junit.xml";
  std::string error;
  ASSERT_TRUE(station::WriteReportFile(path, station::JUnitReport(ThreeCameras()), error)) << error;
  const std::string out = Python(R"(import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
print(root.tag, root.get('tests'), root.get('failures'), root.get('skipped'))
for s in root.iter('testsuite'):
    props = {p.get('name'): p.get('value') for p in s.iter('property')}
    print('suite', s.get('name'), s.get('tests'), s.get('failures'), s.get('skipped'), props['adapter-serial'])
    for c in s.iter('testcase'):
        f = c.find('failure')
        state = 'skipped' if c.find('skipped') is not None else 'fail' if f is not None else 'pass'
        print(' ', c.get('name'), state, f.get('message') if f is not None else '')
        if f is not None and f.text: print('  log', repr(f.text))
    if props['version']: print('  version', props['version'])
)",
                                 path);
  const std::string expected =
      "testsuites 9 2 3\n"
      "suite COM3 3 0 0 FT1\n  find pass \n  version pass \n  capture pass \n  version V2.1\n"
      "suite COM4 3 1 1 FT2\n  find pass \n  version fail version " + kHostileInXml +
      " does not match V2.*\n  log '(06:00:01) V9<&\"\\'>]]>\\'); DROP TABLE runs;--\\\\x01\\\\x1B\xEF\xBF\xBD,x\\nline\\ttwo\\n'\n"
      "  capture skipped \n  version " + kHostileInXml + "\n"
      "suite /dev/ttyUSB2 3 1 2 \n  find fail no camera answered\n  version skipped \n"
      "  capture skipped \n";
  EXPECT_EQ(out, expected);
}

TEST(StationReports, JsonLinesAndCsvReadBack) {
  const StationRun run = ThreeCameras();
  std::vector<nlohmann::json> lines;
  std::istringstream jsonl(station::JsonLinesReport(run));
  for (std::string line; std::getline(jsonl, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["passed"], true);
  EXPECT_EQ(lines[0]["figures"]["width"], 640);
  EXPECT_EQ(lines[1]["version"], kHostileInUtf8);
  EXPECT_EQ(lines[1]["steps"][1]["result"], "fail");
  EXPECT_EQ(lines[1]["steps"][2]["result"], "skipped");
  EXPECT_TRUE(lines[1]["figures"].is_null());
  EXPECT_EQ(lines[2]["steps"][0]["message"], "no camera answered");

  const testsupport::TempFolder dir("brevant-results");
  const std::string path = dir.Slash() + "summary.csv";
  std::string error;
  ASSERT_TRUE(station::WriteReportFile(path, station::CsvReport(run), error)) << error;
  const std::string out = Python(R"(import sys, csv
rows = list(csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8'), strict=True))
for r in rows: print(repr((r['port'], r['adapter_serial'], r['version'], r['width'], r['passed'], r['failed_step'], r['message'])))
)",
                                 path);
  EXPECT_EQ(out,
            "('COM3', 'FT1', 'V2.1', '640', '1', '', '')\n"
            "('COM4', 'FT2', 'V9<&\"\\'>]]>\\'); DROP TABLE runs;--\\x01\\x1b\xEF\xBF\xBD,x', '', '0', "
            "'version', 'version V9<&\"\\'>]]>\\'); DROP TABLE runs;--\\x01\\x1b\xEF\xBF\xBD,x does not match V2.*')\n"
            "('/dev/ttyUSB2', '', '', '', '0', 'find', 'no camera answered')\n");
}

TEST(StationReports, AFileIsReplacedWholeOrLeftAsItWas) {
  const testsupport::TempFolder dir("brevant-results");
  const std::string path = dir.Slash() + "report.xml";
  std::string error;
  ASSERT_TRUE(station::WriteReportFile(path, "old", error));
  ASSERT_TRUE(station::WriteReportFile(path, "new", error));
  EXPECT_EQ(testsupport::ReadText(path), "new");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_read, fs::perms::others_read);
  // Cannot be renamed into place (a folder is there), or its folder is missing.
  fs::create_directory(dir.Slash() + "taken");
  EXPECT_FALSE(station::WriteReportFile(dir.Slash() + "taken", "text", error));
  EXPECT_NE(error.find("taken"), std::string::npos) << error;
  EXPECT_FALSE(station::WriteReportFile(dir.Slash() + "none/report.xml", "text", error));
  EXPECT_NE(error.find("none/report.xml"), std::string::npos) << error;
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(dir.Slash())) entries += entry.exists();
  EXPECT_EQ(entries, 2u) << "a temporary file was left behind";
  EXPECT_EQ(testsupport::ReadText(path), "new");
}

}  // namespace

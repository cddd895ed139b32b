#include "core/PictureChecks.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "imaging/JpegFile.h"

namespace {

struct FigureRow {
  const char* name;
  double (*read)(const PictureFigures&);
  bool share;  // written in percent
};

const FigureRow kFigures[] = {
    {"sharpness", [](const PictureFigures& f) { return f.sharpness; }, false},
    {"luma", [](const PictureFigures& f) { return f.meanLuma; }, false},
    {"min", [](const PictureFigures& f) { return double(f.minLuma); }, false},
    {"max", [](const PictureFigures& f) { return double(f.maxLuma); }, false},
    {"spread", [](const PictureFigures& f) { return f.lumaSpread; }, false},
    {"clipped", [](const PictureFigures& f) { return 100 * (f.clippedBlack + f.clippedWhite); }, true},
    {"black", [](const PictureFigures& f) { return 100 * f.clippedBlack; }, true},
    {"white", [](const PictureFigures& f) { return 100 * f.clippedWhite; }, true},
    {"red", [](const PictureFigures& f) { return f.meanRed; }, false},
    {"green", [](const PictureFigures& f) { return f.meanGreen; }, false},
    {"blue", [](const PictureFigures& f) { return f.meanBlue; }, false},
    {"uniform", [](const PictureFigures& f) { return f.uniform ? 1.0 : 0.0; }, false},
};

const FigureRow* FindFigure(const std::string& name) {
  for (const FigureRow& row : kFigures)
    if (name == row.name) return &row;
  return nullptr;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

// A number, with a "%" allowed where the figure is a share.
bool Number(std::string text, bool share, double& value) {
  text = Trim(text);
  if (share && !text.empty() && text.back() == '%') text.pop_back();
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && value == value;  // not NaN
}

bool ParseOne(const std::string& part, PictureCheck& check) {
  static const char* const kOps[] = {">=", "<=", "="};
  for (const char* op : kOps) {
    const size_t at = part.find(op);
    if (at == std::string::npos) continue;
    const std::string name = Trim(part.substr(0, at));
    const std::string value = Trim(part.substr(at + std::string(op).size()));
    const FigureRow* row = FindFigure(name);
    if (!row) return false;
    check.figure = name;
    check.text = Trim(part);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (name == "uniform") {
      if (std::string(op) != "=" || (value != "yes" && value != "no")) return false;
      check.low = check.high = value == "yes" ? 1 : 0;
      return true;
    }
    if (std::string(op) == ">=") {
      check.high = kInf;
      return Number(value, row->share, check.low);
    }
    if (std::string(op) == "<=") {
      check.low = -kInf;
      return Number(value, row->share, check.high);
    }
    const size_t dots = value.find("..");
    if (dots == std::string::npos) {
      if (!Number(value, row->share, check.low)) return false;
      check.high = check.low;
      return true;
    }
    return Number(value.substr(0, dots), row->share, check.low) &&
           Number(value.substr(dots + 2), row->share, check.high) && check.low <= check.high;
  }
  return false;
}

}  // namespace

bool ParsePictureChecks(const std::string& text, std::vector<PictureCheck>& checks,
                        std::string& error) {
  checks.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? comma : comma - start);
    PictureCheck check;
    if (!ParseOne(part, check)) {
      error = "cannot read the check \"" + Trim(part) +
              "\" (FIGURE>=N, FIGURE<=N or FIGURE=A..B; figures: sharpness, luma, min, max, "
              "spread, clipped, black, white, red, green, blue, uniform=yes|no)";
      checks.clear();
      return false;
    }
    checks.push_back(check);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

double CheckedValue(const PictureFigures& figures, const std::string& figure) {
  const FigureRow* row = FindFigure(figure);
  return row ? row->read(figures) : 0;
}

std::vector<std::string> FailedChecks(const PictureFigures& figures,
                                      const std::vector<PictureCheck>& checks) {
  std::vector<std::string> failed;
  // Always applied: a damaged file's figures describe the decoder's filler, not the camera.
  if (!figures.decodeWarning.empty())
    failed.push_back("decodes no (" + figures.decodeWarning + ")");
  for (const PictureCheck& check : checks) {
    const double value = CheckedValue(figures, check.figure);
    if (value >= check.low && value <= check.high) continue;
    char text[64];
    std::snprintf(text, sizeof text, "%s %.1f%s", check.figure.c_str(), value,
                  FindFigure(check.figure)->share ? "%" : "");
    failed.push_back(std::string(text) + " (wanted " + check.text + ")");
  }
  return failed;
}

PictureFigures MeasurePictureFile(const std::string& path, int frameWidth, int frameHeight) {
  return MeasurePictureFile(path, PictureKindByName(path), frameWidth, frameHeight);
}

PictureFigures MeasurePictureFile(const std::string& path, PictureKind kind, int frameWidth,
                                  int frameHeight) {
  CJpegFile decoder;  // no box sink: a file that does not decode is simply not measured
  decoder.m_nFrameWidth = frameWidth;
  decoder.m_nFrameHeight = frameHeight;
  if (!decoder.LoadImageToDib(path, kind) || !decoder.m_pDib) return {};
  PictureFigures figures = MeasurePicture(*decoder.m_pDib);
  figures.decodeWarning = decoder.m_strWarning;
  return figures;
}

std::string FiguresText(const PictureFigures& f) {
  char text[160];
  std::snprintf(text, sizeof text,
                "sharpness %.1f luma %.1f (%d..%d) spread %.1f clipped %.1f%% uniform %s "
                "rgb %.0f/%.0f/%.0f",
                f.sharpness, f.meanLuma, f.minLuma, f.maxLuma, f.lumaSpread,
                100 * (f.clippedBlack + f.clippedWhite), f.uniform ? "yes" : "no", f.meanRed,
                f.meanGreen, f.meanBlue);
  return text;
}

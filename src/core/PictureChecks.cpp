#include "core/PictureChecks.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "core/InputFile.h"
#include "imaging/JpegFile.h"
#include "imaging/LumaPlane.h"

namespace {

using Value = std::optional<double>;

enum class Needs { Nothing, FlatField, Mtf };

struct FigureRow {
  const char* name;
  Value (*read)(const PictureFigures&, std::string& whyNot);
  bool share;  // written in percent
  Needs needs;
};

Value Always(double value) { return value; }

// A flat-field figure: nothing, with the reason, unless the field was measured as one.
const FlatFieldFigures* FlatField(const PictureFigures& f, std::string& whyNot) {
  if (!f.flatField) {
    whyNot = "not measured";
    return nullptr;
  }
  if (!f.flatField->measured) {
    whyNot = f.flatField->failure;
    return nullptr;
  }
  return &*f.flatField;
}

const MtfFigures* Mtf(const PictureFigures& f, std::string& whyNot) {
  if (!f.mtf) {
    whyNot = "not measured";
    return nullptr;
  }
  if (!f.mtf->measured) {
    whyNot = f.mtf->failure.empty() ? "no edge found" : f.mtf->failure;
    return nullptr;
  }
  return &*f.mtf;
}

template <size_t N>
Value MtfOf(const PictureFigures& f, std::string& whyNot, const char (&region)[N]) {
  const MtfFigures* mtf = Mtf(f, whyNot);
  if (!mtf) return std::nullopt;
  for (const EdgeFigure& edge : mtf->edges) {
    if (edge.region != region) continue;
    if (edge.measured) return edge.mtf50;
    whyNot = edge.failure.empty() ? "no edge found" : edge.failure;
    return std::nullopt;
  }
  whyNot = std::string("no edge found in region ") + region;
  return std::nullopt;
}

const FigureRow kFigures[] = {
    {"sharpness", [](const PictureFigures& f, std::string&) { return Always(f.sharpness); }, false, Needs::Nothing},
    {"luma", [](const PictureFigures& f, std::string&) { return Always(f.meanLuma); }, false, Needs::Nothing},
    {"min", [](const PictureFigures& f, std::string&) { return Always(f.minLuma); }, false, Needs::Nothing},
    {"max", [](const PictureFigures& f, std::string&) { return Always(f.maxLuma); }, false, Needs::Nothing},
    {"spread", [](const PictureFigures& f, std::string&) { return Always(f.lumaSpread); }, false, Needs::Nothing},
    {"clipped", [](const PictureFigures& f, std::string&) { return Always(100 * (f.clippedBlack + f.clippedWhite)); }, true, Needs::Nothing},
    {"black", [](const PictureFigures& f, std::string&) { return Always(100 * f.clippedBlack); }, true, Needs::Nothing},
    {"white", [](const PictureFigures& f, std::string&) { return Always(100 * f.clippedWhite); }, true, Needs::Nothing},
    {"red", [](const PictureFigures& f, std::string&) { return Always(f.meanRed); }, false, Needs::Nothing},
    {"green", [](const PictureFigures& f, std::string&) { return Always(f.meanGreen); }, false, Needs::Nothing},
    {"blue", [](const PictureFigures& f, std::string&) { return Always(f.meanBlue); }, false, Needs::Nothing},
    {"uniform", [](const PictureFigures& f, std::string&) { return Always(f.uniform ? 1.0 : 0.0); }, false, Needs::Nothing},
    {"noise", [](const PictureFigures& f, std::string&) { return Always(f.noise); }, false, Needs::Nothing},
    {"shading",
     [](const PictureFigures& f, std::string& whyNot) -> Value {
       const FlatFieldFigures* flat = FlatField(f, whyNot);
       if (!flat) return std::nullopt;
       if (!flat->shadingMeasured) {
         whyNot = flat->shadingFailure;
         return std::nullopt;
       }
       return flat->shading;
     },
     true, Needs::FlatField},
    {"defects",
     [](const PictureFigures& f, std::string& whyNot) -> Value {
       const FlatFieldFigures* flat = FlatField(f, whyNot);
       return flat ? Value(flat->defects) : std::nullopt;
     },
     false, Needs::FlatField},
    {"defect_cluster",
     [](const PictureFigures& f, std::string& whyNot) -> Value {
       const FlatFieldFigures* flat = FlatField(f, whyNot);
       return flat ? Value(flat->largestCluster) : std::nullopt;
     },
     false, Needs::FlatField},
    {"mtf50",
     [](const PictureFigures& f, std::string& whyNot) -> Value {
       const MtfFigures* mtf = Mtf(f, whyNot);
       return mtf ? Value(mtf->minimum) : std::nullopt;
     },
     false, Needs::Mtf},
    {"mtf50_centre", [](const PictureFigures& f, std::string& w) { return MtfOf(f, w, "centre"); }, false, Needs::Mtf},
    {"mtf50_tl", [](const PictureFigures& f, std::string& w) { return MtfOf(f, w, "tl"); }, false, Needs::Mtf},
    {"mtf50_tr", [](const PictureFigures& f, std::string& w) { return MtfOf(f, w, "tr"); }, false, Needs::Mtf},
    {"mtf50_bl", [](const PictureFigures& f, std::string& w) { return MtfOf(f, w, "bl"); }, false, Needs::Mtf},
    {"mtf50_br", [](const PictureFigures& f, std::string& w) { return MtfOf(f, w, "br"); }, false, Needs::Mtf},
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
      std::string names;
      for (const FigureRow& row : kFigures)
        if (std::string(row.name) != "uniform") names += std::string(names.empty() ? "" : ", ") + row.name;
      error = "cannot read the check \"" + Trim(part) +
              "\" (FIGURE>=N, FIGURE<=N or FIGURE=A..B; figures: " + names + ", uniform=yes|no)";
      checks.clear();
      return false;
    }
    checks.push_back(check);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::optional<double> MeasuredValue(const PictureFigures& figures, const std::string& figure,
                                    std::string* whyNot) {
  std::string why;
  const FigureRow* row = FindFigure(figure);
  const Value value = row ? row->read(figures, why) : std::nullopt;
  if (!row) why = "unknown figure";
  if (!value && whyNot) *whyNot = why;
  return value;
}

double CheckedValue(const PictureFigures& figures, const std::string& figure) {
  return MeasuredValue(figures, figure).value_or(std::numeric_limits<double>::quiet_NaN());
}

std::vector<std::string> CheckFigureNames() {
  std::vector<std::string> names;
  for (const FigureRow& row : kFigures) names.push_back(row.name);
  return names;
}

MeasureOptions OptionsForChecks(const std::vector<PictureCheck>& checks) {
  MeasureOptions options;
  for (const PictureCheck& check : checks)
    if (const FigureRow* row = FindFigure(check.figure)) {
      options.flatField |= row->needs == Needs::FlatField;
      options.mtf |= row->needs == Needs::Mtf;
    }
  return options;
}

std::vector<std::string> FailedChecks(const PictureFigures& figures,
                                      const std::vector<PictureCheck>& checks) {
  std::vector<std::string> failed;
  // Always applied: a damaged file's figures describe the decoder's filler, not the camera.
  if (!figures.decodeWarning.empty())
    failed.push_back("decodes no (" + figures.decodeWarning + ")");
  for (const PictureCheck& check : checks) {
    std::string whyNot;
    const std::optional<double> value = MeasuredValue(figures, check.figure, &whyNot);
    // A figure that could not be measured fails with its reason, never as a number.
    if (!value) {
      failed.push_back(check.figure + " not measured (" + whyNot + "; wanted " + check.text + ")");
      continue;
    }
    if (*value >= check.low && *value <= check.high) continue;
    const bool fine = check.figure.rfind("mtf50", 0) == 0;  // cycles per pixel: 0.01 matters
    char text[64];
    std::snprintf(text, sizeof text, fine ? "%s %.3f%s" : "%s %.1f%s", check.figure.c_str(), *value,
                  FindFigure(check.figure)->share ? "%" : "");
    failed.push_back(std::string(text) + " (wanted " + check.text + ")");
  }
  return failed;
}

PictureFigures MeasurePictureFile(const std::string& path, int frameWidth, int frameHeight,
                                  const MeasureOptions& options) {
  return MeasurePictureFile(path, PictureKindByName(path), frameWidth, frameHeight, options);
}

PictureFigures MeasurePictureFile(const std::string& path, PictureKind kind, int frameWidth,
                                  int frameHeight, const MeasureOptions& options) {
  CJpegFile decoder;  // no box sink: a file that does not decode is simply not measured
  decoder.m_nFrameWidth = frameWidth;
  decoder.m_nFrameHeight = frameHeight;
  if (!decoder.LoadImageToDib(path, kind) || !decoder.m_pDib) return {};
  PictureFigures figures = MeasurePicture(*decoder.m_pDib);
  figures.decodeWarning = decoder.m_strWarning;
  if (options.Any()) {
    // An NV12 frame's luma as the sensor gave it, not as it came back from colour.
    LumaPlane luma;
    if (kind == PictureKind::Nv12) {
      std::string why, frame;
      const size_t bytes = static_cast<size_t>(figures.width) * figures.height * 3 / 2 + 1;
      if (ReadInputFile(path, bytes, &frame, &why))
        luma = LumaOfNv12(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(),
                          figures.width, figures.height);
    }
    if (luma.Empty()) luma = LumaOf(*decoder.m_pDib);
    MeasureCostlyFigures(luma, options, figures);
  }
  return figures;
}

namespace {

std::string FlatFieldText(const FlatFieldFigures& flat) {
  if (!flat.measured) return " flat field not measured (" + flat.failure + ")";
  char text[160];
  std::string shading = " shading not measured (" + flat.shadingFailure + ")";
  if (flat.shadingMeasured) {
    std::snprintf(text, sizeof text, " shading %.1f%% (%s)", flat.shading, flat.darkestCorner.c_str());
    shading = text;
  }
  std::snprintf(text, sizeof text, " defects %d (%d hot, %d dead, %d stuck; largest cluster %d)",
                flat.defects, flat.hot, flat.dead, flat.stuck, flat.largestCluster);
  return shading + text;
}

std::string MtfText(const MtfFigures& mtf) {
  if (!mtf.measured)
    return " mtf50 not measured (" + (mtf.failure.empty() ? std::string("no edge found") : mtf.failure) + ")";
  char text[64];
  std::snprintf(text, sizeof text, " mtf50 %.3f (", mtf.minimum);
  std::string out = text;
  bool first = true;
  for (const EdgeFigure& edge : mtf.edges) {
    if (!edge.measured) continue;
    std::snprintf(text, sizeof text, "%s%s %.3f", first ? "" : ", ", edge.region.c_str(), edge.mtf50);
    out += text;
    first = false;
  }
  return out + ")";
}

}  // namespace

std::string FiguresText(const PictureFigures& f) {
  char text[192];
  std::snprintf(text, sizeof text,
                "sharpness %.1f luma %.1f (%d..%d) spread %.1f clipped %.1f%% uniform %s "
                "rgb %.0f/%.0f/%.0f noise %.1f",
                f.sharpness, f.meanLuma, f.minLuma, f.maxLuma, f.lumaSpread,
                100 * (f.clippedBlack + f.clippedWhite), f.uniform ? "yes" : "no", f.meanRed,
                f.meanGreen, f.meanBlue, f.noise);
  std::string out = text;
  if (f.flatField) out += FlatFieldText(*f.flatField);
  if (f.mtf) out += MtfText(*f.mtf);
  return out;
}

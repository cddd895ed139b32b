#pragma once
// Pass/fail checks on a picture's figures, written the way a line operator writes them:
// "sharpness>=40,luma=40..220,clipped<=2%". Shared by the command line and station plans.
#include <optional>
#include <string>
#include <vector>

#include "imaging/JpegFile.h"
#include "imaging/PictureFigures.h"

struct PictureCheck {
  std::string figure;  // "sharpness", "luma", "min", "max", "spread", "clipped", "black",
                       // "white", "red", "green", "blue", "uniform", "noise", "shading",
                       // "defects", "defect_cluster", "mtf50", "mtf50_centre", "mtf50_tl",
                       // "mtf50_tr", "mtf50_bl", "mtf50_br"
  double low = 0;      // the figure must lie in [low, high]
  double high = 0;
  std::string text;    // as written, for the report
};

// Parses a comma-separated list of "FIGURE>=N", "FIGURE<=N", "FIGURE=A..B" or "FIGURE=N";
// shares (clipped, black, white) in percent with an optional "%"; "uniform=no" / "=yes".
// False with `error` naming the part that could not be read.
bool ParsePictureChecks(const std::string& text, std::vector<PictureCheck>& checks,
                        std::string& error);

// The figure a check reads, as the check writes it (shares in percent, uniform 0 or 1);
// NaN when it could not be measured.
double CheckedValue(const PictureFigures& figures, const std::string& figure);
// The same, or nothing with `whyNot` (when given) saying why: "no edge found", "not a flat
// field", "not measured" (a costly figure nobody asked for), "unknown figure".
std::optional<double> MeasuredValue(const PictureFigures& figures, const std::string& figure,
                                    std::string* whyNot = nullptr);
// The names a check may use, in the order the help lists them.
std::vector<std::string> CheckFigureNames();

// The costly figures the checks read (flat field, MTF); only those are measured.
MeasureOptions OptionsForChecks(const std::vector<PictureCheck>& checks);

// Decodes a picture file (a JPEG, or a raw NV12 frame of the frame size given) and
// measures it; not measured when it does not decode. The costly figures of an NV12 frame
// are measured on its own luma plane.
PictureFigures MeasurePictureFile(const std::string& path, PictureKind kind, int frameWidth,
                                  int frameHeight, const MeasureOptions& options = {});
// The same for a file known by its name only ("yuv.tmp" in it: NV12).
PictureFigures MeasurePictureFile(const std::string& path, int frameWidth = 0,
                                  int frameHeight = 0, const MeasureOptions& options = {});

// "sharpness 76.9 luma 128.4 (12..240) spread 40.1 clipped 0.3% uniform no rgb 131/128/120
// noise 0.8", then the costly figures measured: "shading 81.2% (bl) defects 2 (1 hot, 1 dead;
// largest cluster 1)", "mtf50 0.281 (centre 0.301, tl 0.281, ...)" or why they are not.
std::string FiguresText(const PictureFigures& figures);

// The checks the figures fail, each as "sharpness 12.3 (wanted sharpness>=40)", or for a
// figure that could not be measured "mtf50 not measured (no edge found; wanted mtf50>=0.2)";
// a picture decoded from a damaged file fails "decodes" whatever the checks ("decodes no
// (Premature end of JPEG file)").
std::vector<std::string> FailedChecks(const PictureFigures& figures,
                                      const std::vector<PictureCheck>& checks);

#pragma once
// Pass/fail checks on a picture's figures, written the way a line operator writes them:
// "sharpness>=40,luma=40..220,clipped<=2%". Shared by the command line and station plans.
#include <string>
#include <vector>

#include "imaging/JpegFile.h"
#include "imaging/PictureFigures.h"

struct PictureCheck {
  std::string figure;  // "sharpness", "luma", "min", "max", "spread", "clipped", "black",
                       // "white", "red", "green", "blue", "uniform"
  double low = 0;      // the figure must lie in [low, high]
  double high = 0;
  std::string text;    // as written, for the report
};

// Parses a comma-separated list of "FIGURE>=N", "FIGURE<=N", "FIGURE=A..B" or "FIGURE=N";
// shares (clipped, black, white) in percent with an optional "%"; "uniform=no" / "=yes".
// False with `error` naming the part that could not be read.
bool ParsePictureChecks(const std::string& text, std::vector<PictureCheck>& checks,
                        std::string& error);

// The figure a check reads, as the check writes it (shares in percent, uniform 0 or 1).
double CheckedValue(const PictureFigures& figures, const std::string& figure);

// Decodes a picture file (a JPEG, or a raw NV12 frame of the frame size given) and
// measures it; not measured when it does not decode.
PictureFigures MeasurePictureFile(const std::string& path, PictureKind kind, int frameWidth,
                                  int frameHeight);
// The same for a file known by its name only ("yuv.tmp" in it: NV12).
PictureFigures MeasurePictureFile(const std::string& path, int frameWidth = 0,
                                  int frameHeight = 0);

// "sharpness 76.9 luma 128.4 (12..240) spread 40.1 clipped 0.3% uniform no rgb 131/128/120"
std::string FiguresText(const PictureFigures& figures);

// The checks the figures fail, each as "sharpness 12.3 (wanted sharpness>=40)"; a picture
// decoded from a damaged file fails "decodes" whatever the checks ("decodes no (Premature
// end of JPEG file)").
std::vector<std::string> FailedChecks(const PictureFigures& figures,
                                      const std::vector<PictureCheck>& checks);

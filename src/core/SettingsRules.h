#pragma once
// The rules a setting's own range cannot decide: they need the connected camera's state (the
// picture size a crop window must fit) or its model's ranges (a two-step fill light, a
// shorter size or rate list). Every front end asks here once the camera is identified and
// its settings read, before its first write, so all refuse alike and nothing is half sent.
#include <optional>
#include <string>

#include "core/Profile.h"

struct CameraState {
  ProfileModel model;     // what the model offers (ProfileModelFor); unknown: no model limits
  int pictureWidth = 0;   // the current picture; 0: not known, the camera judges the window
  int pictureHeight = 0;
};

// The picture of size index 1..14 (0x0 for any other).
void PictureOfSizeIndex(int sizeIndex, int& width, int& height);

// Why `writes` cannot go to this camera as it is now, naming the field and what it may be
// ("crop.width is 1920, must be 32..1280 (x 640 in the 1920X1080 picture)"). The picture
// a crop window must fit is the one the same writes set first, else the camera's current one.
std::optional<std::string> RefuseForCamera(const ProfileSettings& writes, const CameraState& state);

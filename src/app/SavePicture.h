#pragma once
// "Save": the temporary picture file is moved to a name stamped with the time of the Save.
#include <ctime>
#include <string>

// "<folder><prefix>_YYYYMMDD_HHMMSS.<extension>"; folder must end with "/".
std::string BuildSaveName(const std::string& folder, bool yuv, const std::tm& now);

// The temporary file holds a raw NV12 frame ("yuv.tmp") rather than a JPEG.
bool IsYuvTemporaryFile(const std::string& path);

// The user's pictures folder, or the home folder when there is none; ends with "/".
std::string DefaultPictureFolder();

// Ensures a folder path ends with "/" (an empty path stays empty).
std::string WithTrailingSlash(const std::string& folder);

struct SaveOutcome {
  enum Kind { Nothing, Saved, Failed } kind = Nothing;
  std::string target;  // the new name (Saved) or the name that could not be written (Failed)
  std::string error;   // why it failed, for the operator
};

// Moves source to target without ever replacing an existing file. Nothing happens when
// source is empty or missing. On failure the source stays where it is.
SaveOutcome MovePictureFile(const std::string& source, const std::string& target);

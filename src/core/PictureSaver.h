#pragma once
// Saving a finished temporary picture under a name stamped with the time of the Save,
// never replacing a file that is already there: the window's "Save" and the CLI's
// captures both save through here.
#include <ctime>
#include <string>

// "<folder>/jpeg_YYYYMMDD_HHMMSS.jpg" ("yuv_... .yuv" for an NV12 frame); attempt n >= 2
// adds "_n" before the extension, so two pictures saved in one second both keep a name.
std::string SavedPictureName(const std::string& folder, bool yuv, const std::tm& when,
                             int attempt = 1);

// Ensures a folder path ends with "/" (an empty path stays empty).
std::string WithTrailingSlash(const std::string& folder);

struct SaveOutcome {
  enum Kind { Nothing, Saved, Failed } kind = Nothing;
  std::string target;  // the name saved as (Saved), or the name that could not be written
  std::string error;   // why it failed, in plain words
};

// Moves `from` to the first free name of the sequence above (rename where the file system
// can refuse an existing name, else a hard link, else an exclusive copy; another file
// system is copied). Nothing happens when `from` is empty; on failure it stays in place.
SaveOutcome SavePicture(const std::string& from, const std::string& folder, bool yuv,
                        const std::tm& when);

#pragma once
// Where "Save" puts pictures until the operator chooses a folder.
#include <string>

// The user's pictures folder, or the home folder when there is none; ends with "/".
std::string DefaultPictureFolder();

// The profile reader on any bytes: a refusal or a profile, never a crash, an exception
// or memory beyond the file's size; what it accepts comes back the same once written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Profile.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ProfileError error;
  const std::optional<Profile> profile = ParseProfile(text, error);
  if (!profile) {
    Check(!error.text.empty());
    Check(error.line >= 0 && error.column >= 0);
    return 0;
  }
  // Written and read again, a profile is the same profile.
  const std::string written = WriteProfile(*profile);
  ProfileError again;
  const std::optional<Profile> reread = ParseProfile(written, again);
  Check(reread.has_value());
  Check(WriteProfile(*reread) == written);
  Check(CompareProfiles(profile->settings, reread->settings).empty());

  // Checked against the model it names and against a camera of another model: a refusal
  // names its place in the text, or has none.
  for (const std::string& version : {profile->model, std::string("QVX0806 1.00"), std::string("QVX5M0 2.00")}) {
    const ProfileModel model = ProfileModelFor(version);
    if (std::optional<ProfileError> refusal = CheckProfileForModel(*profile, model, text))
      Check(!refusal->text.empty());
    ProfileModelWarning(*profile, model);
  }
  return 0;
}

#pragma once
// The camera renders on-screen text in GB18030 (a Chinese character is two bytes); what an
// operator types, on a command line or in a profile, is UTF-8.
#include <optional>
#include <string>

// Empty optional when the text is not valid UTF-8 or has no GB18030 form.
std::optional<std::string> Utf8ToGb18030(const std::string& utf8);

// Natural ("logical") order of names, as folders list their children:
// letters compare case-insensitively and runs of digits by numeric value,
// so "file2" sorts before "file10" and "File" equals "file".
#pragma once

#include <string_view>

namespace ostrel::platform {

// Negative, zero or positive like strcmp.
int compare_logical(std::u16string_view a, std::u16string_view b);

}  // namespace ostrel::platform

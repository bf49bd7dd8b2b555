// The pieces every file-system scan shares: splitting the start path, ending
// a scan with a cause, and the directory-phase ending with its deep-scan gate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class recover_impl;

// The texts between backslashes and slashes. `keep_empty` keeps the empty
// texts between adjacent separators (and before a leading one); a trailing
// separator never adds a component.
std::vector<std::u16string> split_path(std::u16string_view path, bool keep_empty = false);

// Sends `status` then event 1; returns false for the scan to return.
bool fail_scan(int32_t status);

// 0 when the scan was stopped; otherwise the host's continue_deep_scan
// answer, or 1 when the host has no such slot.
int32_t deep_scan_allowed(recover_impl& engine);

// The end of a full scan's directory phase: nothing more when stopped;
// otherwise event 2 and, when the engine's deep_scan flag is set and the host
// agrees, event 3, the sweep (status 3 + event 5 when it cannot start) and
// event 6 unless stopped. Answer 2 calls the stop token's
// on_deep_scan_declined.
void finish_directory_phase(recover_impl& engine);

// ASCII case-insensitive equality, as names are compared when navigating.
bool equal_ignoring_case(std::u16string_view a, std::u16string_view b);

}  // namespace ostrel

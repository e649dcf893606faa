// "did you mean ...?" for a word that is a slip away from a known one.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace kelto::sim {

// "; did you mean 'wait_for'?" when word is one edit (a letter wrong, missing,
// extra, or two swapped) from a known word, or two from one of five letters
// or more; the closest, the first of equals. Empty when none is that close.
std::string did_you_mean(std::string_view word, std::span<const std::string_view> known);

}  // namespace kelto::sim

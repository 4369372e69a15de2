#pragma once

// "Did you mean" help for names a user typed.

#include <string>
#include <vector>

namespace korvan::run {

// Levenshtein distance between two names.
std::size_t editDistance(const std::string& a, const std::string& b);

// The candidate closest to `name`, or empty when none is reasonably close
// (more edits than half the name's length).
std::string closestName(const std::string& name, const std::vector<std::string>& candidates);

// "; did you mean \"x\"?" for the closest candidate, then the list of all
// candidates: "; did you mean \"x\"? (known: a, b)".
std::string suggestionText(const std::string& name, const std::vector<std::string>& candidates);

std::string joinNames(const std::vector<std::string>& names);

}  // namespace korvan::run

#include "name_suggestion.hpp"

#include <algorithm>
#include <numeric>

namespace korvan::run {

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string closestName(const std::string& name, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t bestDistance = name.size() / 2 + 1;
  for (const auto& candidate : candidates) {
    const std::size_t d = editDistance(name, candidate);
    if (d < bestDistance) {
      bestDistance = d;
      best = candidate;
    }
  }
  return best;
}

std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

std::string suggestionText(const std::string& name, const std::vector<std::string>& candidates) {
  std::string text;
  const std::string closest = closestName(name, candidates);
  if (!closest.empty()) text += "; did you mean \"" + closest + "\"?";
  if (!candidates.empty()) text += " (known: " + joinNames(candidates) + ")";
  return text;
}

}  // namespace korvan::run

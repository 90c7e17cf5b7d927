// SPDX-License-Identifier: MIT
#include "nearest_name.hpp"

#include <algorithm>
#include <set>

namespace unbcl::bcl {

namespace {

// Edits from a to b, a swap of two neighbours counting as one (optimal string alignment).
std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::optional<std::string> nearestName(std::string_view word, const std::vector<std::string>& known) {
    constexpr std::size_t kMostEdits = 2;
    std::optional<std::string> best;
    std::size_t bestDistance = kMostEdits + 1;
    bool tied = false;
    const std::set<std::string> names(known.begin(), known.end());  // a name known twice is one
    for (const std::string& name : names) {
        const std::size_t distance = editDistance(word, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
            tied = false;
        } else if (distance == bestDistance) {
            tied = true;
        }
    }
    if (!best || tied || bestDistance * 2 >= word.size()) return std::nullopt;
    return best;
}

}  // namespace unbcl::bcl

#include "core/suggest.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

namespace kelto::sim {

namespace {

// Edits between two words, a swap of neighbours counting as one, any case.
std::size_t distance(std::string_view a, std::string_view b)
{
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    };
    const std::size_t columns = b.size() + 1;
    std::vector<std::size_t> d((a.size() + 1) * columns);
    const auto at = [&](std::size_t i, std::size_t j) -> std::size_t & { return d[i * columns + j]; };
    for (std::size_t i = 0; i <= a.size(); i++)
        at(i, 0) = i;
    for (std::size_t j = 0; j <= b.size(); j++)
        at(0, j) = j;
    for (std::size_t i = 1; i <= a.size(); i++) {
        for (std::size_t j = 1; j <= b.size(); j++) {
            const std::size_t cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
            at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + cost});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
        }
    }
    return at(a.size(), b.size());
}

}  // namespace

std::string did_you_mean(std::string_view word, std::span<const std::string_view> known)
{
    // A long word is no slip, and would cost a large table.
    if (word.empty() || word.size() > 64)
        return {};
    std::string_view best;
    std::size_t best_distance = 0;
    for (std::string_view candidate : known) {
        const std::size_t edits = distance(word, candidate);
        const std::size_t allowed = candidate.size() >= 5 ? 2 : 1;
        if (edits > allowed || (!best.empty() && edits >= best_distance))
            continue;
        best = candidate;
        best_distance = edits;
    }
    return best.empty() ? std::string() : "; did you mean '" + std::string(best) + "'?";
}

}  // namespace kelto::sim

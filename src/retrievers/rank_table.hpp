// Reciprocal-rank score table: the score of rank r among k results is the sum
// of 1/(60 + j) for j from r to k, accumulated from rank k upwards. The order
// of the additions fixes the last bits of every value, so it is part of the
// contract: callers compare these doubles with values computed the same way.
#pragma once

#include <cstdint>
#include <vector>

namespace qor {

inline constexpr int kRankConstant = 60;

// scores[r - 1] is the score of rank r, for r in 1..k; empty when k < 1.
inline std::vector<double> rank_scores(std::int64_t k) {
    std::vector<double> scores;
    if (k < 1) return scores;
    scores.resize(static_cast<std::size_t>(k));
    double total = 0.0;
    for (std::int64_t i = k; i >= 1; --i) {
        // i + 60 is exact in a double for every k a caller can allocate, so
        // this is the correctly rounded quotient, as the interpreter's true
        // division of two integers is.
        total += 1.0 / static_cast<double>(i + kRankConstant);
        scores[static_cast<std::size_t>(i - 1)] = total;
    }
    return scores;
}

}  // namespace qor

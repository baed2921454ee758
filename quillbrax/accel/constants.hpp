// Numbers with a meaning shared across the modules, named once.
#pragma once

namespace quillbrax {

// The large finite value that starts a search for a minimum and marks what cannot be reached
// (never an infinity: a NaN never beats it, any number does).
inline constexpr double kSentinel = 1e308;

// A node whose impurity (Gini or variance) is below this is pure: it is not split.
inline constexpr double kPurityThreshold = 1e-15;

}  // namespace quillbrax

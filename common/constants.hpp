#pragma once
// Numeric constants shared by the processors.

namespace tavrin_inference {

// Penalty added to the model outputs of forbidden choices: the double nearest to -3.4e38, not the
// lowest float32. Added to any ordinary logit it gives exactly FLOAT_MIN, so every forbidden entry
// compares equal and below every allowed one.
inline constexpr double FLOAT_MIN = -3.4e38;

}  // namespace tavrin_inference

#pragma once

#include <optional>

#include <QString>

// The window's pointer setting as the mouse moves over its controls.
namespace Hover {

inline constexpr int defaultPointer = 0;
inline constexpr int busyPointer = 11;
inline constexpr int customPointer = 99;

// The pointer value a control sets when the mouse moves over it, by the control's
// name; empty for a control without a movement handler (it leaves the setting alone).
std::optional<int> valueFor(const QString& controlName);

// The setting after a movement over a control with value `controlValue`: the
// hourglass stays, anything else takes the control's value.
int nextPointer(int current, int controlValue);

} // namespace Hover

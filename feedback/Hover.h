#pragma once

#include <optional>

#include <QCursor>
#include <QList>
#include <QString>

class QObject;
class QWidget;
class WindowHost;

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

// A movement over `control`: applies the rule to the window's setting.
void hoverOver(WindowHost& window, const QObject& control);

// A movement seen by the window's event filter on `control`. True when the event
// stops here: a text box keeps it for its selection, elsewhere it must not reach the
// frame or the window behind, whose handlers would reset the pointer.
bool filterMovement(WindowHost& window, const QObject& control);

// Shows the setting `pointer`: the hourglass over the whole window, the hand (`icon`,
// or the pointing hand without one) over the window and the push buttons, or
// everyone's own pointer. Text fields keep their text cursor except under the hourglass.
void showPointer(QWidget& window, int pointer, const std::optional<QCursor>& icon, const QList<QWidget*>& pushButtons,
                 const QList<QWidget*>& textFields);

} // namespace Hover

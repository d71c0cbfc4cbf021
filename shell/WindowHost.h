#pragma once

#include <string>

#include <QByteArray>
#include <QString>

#include "shell/ReportingProcedure.h"

class QCursor;
class QWidget;
class Settings;
struct Outside;

// What the start-up sequence, the sample buttons, help and the hover feedback reach
// of the main window, as the engine reaches it through EngineHost. Form1 implements
// it; shell/ and feedback/ know no more of the window than this.
class WindowHost {
public:
    enum class Field { Text1, Text2, Text3, Text4 };

    virtual ~WindowHost() = default;

    // The window itself: the owner of boxes, what the skin and the caption apply to.
    virtual QWidget& form() = 0;
    virtual const Outside& outside() const = 0;
    virtual Settings& settings() = 0;
    // True once the window is closing: a procedure shows nothing more.
    virtual bool closing() const = 0;

    // Sets a field from code. For Text2 a failure of the settings write that the
    // change causes is thrown here.
    virtual void setFieldText(Field field, const QString& text) = 0;
    // The same for a name as the file system has it (a file or folder field), kept
    // byte for byte while the field shows it.
    virtual void setFieldName(Field field, const QByteArray& name) = 0;
    // A box with OK only, captioned with the application title.
    virtual void notice(const QString& text) = 0;
    virtual const QString& applicationTitle() const = 0;
    virtual void setApplicationTitle(const QString& title) = 0;
    // The error report box, as the engine shows it.
    virtual void reportError(const std::string& sourceLabel, int step, const std::string& description) = 0;

    virtual int MousePointer() const = 0;
    virtual void setMousePointer(int pointer) = 0;
    virtual void setMouseIcon(const QCursor& icon) = 0;

    // A procedure of the window, labelled "Form1.<name>", reporting through reportError.
    ReportingProcedure procedure(const char* name);
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The window's command line: at most one file, handed over by a file manager's
// "Open with" or the desktop file's %f, plus --help and --version.
namespace Arguments {

inline constexpr int exitUsage = 2;

// The field a file given at start fills.
enum class Field { Text1, Text4 };

// The file of a set goes to the join panel: a piece list (".splt" in any case), a
// ".crc", the first piece of a numbered set ("NAME.000", "NAME.001"), or any other
// piece of a set that stands beside it (a later "NAME.NNN", coreutils "xaa" with
// "xab"). Anything else goes to the split panel. Only a name that has the form of a
// piece without being a first one is looked up on the disk.
Field fieldFor(const QByteArray& path);
Field fieldFor(const QString& path);

struct Outcome {
    enum class Action { ShowWindow, Help, Version, Usage };
    Action action = Action::ShowWindow;
    // ShowWindow: the file to fill in, absolute; empty when none was given.
    QString path;
    // Help and Version: the text for standard output; Usage: the one for standard error.
    QString text;
};

// `arguments` as main received them, the program's name first. Needs no
// application object, so answering --help or a usage error needs no display.
Outcome parse(const QStringList& arguments);

// The file of a ShowWindow outcome as the file system names it: the bytes of its
// argument in `arguments` (as main received them), made absolute as parse() made it.
// Empty when there is none.
QByteArray fileName(const Outcome& outcome, const QList<QByteArray>& arguments);

QString helpText();

} // namespace Arguments

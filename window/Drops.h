#pragma once

#include <QByteArray>
#include <QString>

class QMimeData;
class QUrl;

// One local file fills the join field when it belongs to a piece set, else the split field; a folder, the output one.
namespace Drops {

struct Verdict {
    enum class Kind {
        Nothing, // not a drop of files, or nothing there: the drag is refused
        Split,   // `name` for the split field
        Join,    // `name` for the join field
        Folder,  // `name`, ending in "/", for the output folder
        Refused, // `message` says why nothing changes
    };
    Kind kind = Kind::Nothing;
    QByteArray name;
    QString message;
};

// A drag that enters or moves (`dropped` false) is not looked up as a piece of a set, which can take a thousand
// look-ups a mouse move: it comes back as Split.
Verdict judge(const QMimeData* data, bool dropped = true);

// Byte for byte, also where not valid in the locale's encoding.

QByteArray localName(const QUrl& url);

} // namespace Drops

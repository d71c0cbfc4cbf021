#include "window/Drops.h"

#include <optional>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QMimeData>
#include <QRegularExpression>
#include <QUrl>

#include "shell/Arguments.h"

namespace Drops {

namespace {

QString text(const char* source) {
    return QCoreApplication::translate("Drops", source);
}

// A piece of our own sets goes to the join field as its list, which the join takes.
std::optional<QByteArray> ownList(const QByteArray& name) {
    static const QRegularExpression piece(QStringLiteral("_splt\\d+$"));
    const QRegularExpressionMatch match = piece.match(QString::fromLatin1(name));
    return match.hasMatch() ? std::optional<QByteArray>(name.left(match.capturedStart()) + ".splt") : std::nullopt;
}

} // namespace

QByteArray localName(const QUrl& url) {
    // The encoded path keeps, as %XX, bytes that no text could hold.
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

Verdict judge(const QMimeData* data, bool dropped) {
    if (!data || !data->hasUrls() || data->urls().isEmpty()) {
        return {};
    }
    if (data->urls().size() > 1) {
        return {
            Verdict::Kind::Refused, {}, text(QT_TRANSLATE_NOOP("Drops", "Please drop one file or folder at a time."))};
    }
    const QUrl url = data->urls().first();
    if (!url.isLocalFile()) {
        return {Verdict::Kind::Refused,
                {},
                text(QT_TRANSLATE_NOOP("Drops", "Only files and folders on this computer can be dropped here."))};
    }
    QByteArray name = localName(url);
    struct stat status {};
    if (name.isEmpty() || ::stat(name.constData(), &status) != 0) {
        return {};
    }
    if (S_ISDIR(status.st_mode)) {
        if (!name.endsWith('/')) {
            name += '/';
        }
        return {Verdict::Kind::Folder, name, {}};
    }
    // A set is joined, not split again.
    if (const std::optional<QByteArray> list = ownList(name)) {
        return {Verdict::Kind::Join, *list, {}};
    }
    if (dropped && Arguments::fieldFor(name) == Arguments::Field::Text4) {
        return {Verdict::Kind::Join, name, {}};
    }
    return {Verdict::Kind::Split, name, {}};
}

} // namespace Drops

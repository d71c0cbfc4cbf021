#include "shell/Arguments.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "engine/RunFolder.h"
#include "engine/formats/ForeignSet.h"

namespace Arguments {

namespace {

Outcome usage(const QString& error) {
    return {
        Outcome::Action::Usage,
        {},
        QStringLiteral("quarnel: %1\nUsage: quarnel [FILE]\nTry 'quarnel --help' for more information.\n").arg(error)};
}

} // namespace

Field fieldFor(const QByteArray& path) {
    if (QString::fromLatin1(path).endsWith(QLatin1String(".splt"), Qt::CaseInsensitive)) {
        return Field::Text4;
    }
    const auto [folderPath, name] = ForeignSet::splitPath(path.toStdString());
    const std::optional<ForeignSet::NameForm> form = ForeignSet::classify(name);
    if (!form) {
        return Field::Text1;
    }
    if (form->crc || (form->kind == ForeignSet::Kind::Numbered && std::stoll(form->digits) <= 1)) {
        return Field::Text4;
    }
    // "report.2024" or "java" only look like pieces: they are split unless their set
    // is there. A set the join will refuse (an unreadable .crc) is still a set.
    RunFolder folder;
    if (!folder.open(folderPath)) {
        return Field::Text1;
    }
    const Result<std::optional<ForeignSet::Set>> set = ForeignSet::find(folder, name);
    return !set || set->has_value() ? Field::Text4 : Field::Text1;
}

Field fieldFor(const QString& path) {
    return fieldFor(QFile::encodeName(path));
}

Outcome parse(const QStringList& arguments) {
    QCommandLineParser parser;
    // "-platform" is one unknown option, not the letters p, l, a, ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOption(help);
    parser.addOption(version);
    if (!parser.parse(arguments)) {
        return usage(parser.errorText());
    }
    if (parser.isSet(help)) {
        return {Outcome::Action::Help, {}, helpText()};
    }
    if (parser.isSet(version)) {
        return {Outcome::Action::Version, {}, QStringLiteral("quarnel " QUARNEL_VERSION "\n")};
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1) {
        return usage(QStringLiteral("one file at most, not %1").arg(files.size()));
    }
    if (files.isEmpty()) {
        return {};
    }
    if (files.first().isEmpty()) {
        return usage(QStringLiteral("the file name is empty"));
    }
    // The commands take the field's text as a full path.
    return {Outcome::Action::ShowWindow, QFileInfo(files.first()).absoluteFilePath(), {}};
}

QByteArray fileName(const Outcome& outcome, const QList<QByteArray>& arguments) {
    if (outcome.action != Outcome::Action::ShowWindow || outcome.path.isEmpty()) {
        return {};
    }
    // The one file is the last argument that decodes to it; "--" may come before it.
    for (qsizetype i = arguments.size() - 1; i > 0; --i) {
        const QByteArray& name = arguments.at(i);
        if (QFileInfo(QFile::decodeName(name)).absoluteFilePath() == outcome.path) {
            return name.startsWith('/') ? name : QFile::encodeName(QDir::currentPath()) + '/' + name;
        }
    }
    return QFile::encodeName(outcome.path);
}

QString helpText() {
    return QStringLiteral("Usage: quarnel [FILE]\n"
                          "Opens the Quarnel window, which cuts a file into numbered pieces plus their\n"
                          "list, NAME.splt, and joins such pieces back into the file.\n"
                          "\n"
                          "FILE fills the window in; nothing starts by itself. A piece list (a name\n"
                          "ending in .splt, in any case), a piece of a numbered set (NAME.001, ...) or\n"
                          "of a coreutils split set (xaa, ...) or a .crc file goes to the join panel,\n"
                          "any other file to the split panel. A relative FILE is taken from the current\n"
                          "folder.\n"
                          "\n"
                          "Options:\n"
                          "  -h, --help     show this help and exit\n"
                          "  -v, --version  show the version and exit\n"
                          "\n"
                          "Exit status: 0 once the window is closed, 2 for a usage error.\n"
                          "The same work without a window: quarnel-cli (see quarnel-cli --help).\n");
}

} // namespace Arguments

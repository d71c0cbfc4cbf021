#pragma once

#include <optional>

#include <QByteArray>
#include <QString>

// The name a field shows and the bytes it stands for. Qt shows a name that is not
// valid in the locale's encoding with replacement characters, which no longer name
// the file; so a name that came as bytes (an argument, a picker, a drop, a stored
// setting) keeps them for as long as the field's text is the one it was given.
class FieldName {
public:
    // The text to show for `name`; `name` is kept for that text.
    QString hold(const QByteArray& name);
    // The bytes `text` names: the kept ones while it is the text hold() gave,
    // else its encoding; nothing when it cannot be encoded without loss.
    std::optional<QByteArray> bytes(const QString& text) const;

private:
    QByteArray m_name;
    QString m_text;
    bool m_held = false;
};

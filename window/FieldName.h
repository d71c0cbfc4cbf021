#pragma once

#include <optional>

#include <QByteArray>
#include <QString>

// Qt shows a name not valid in the locale's encoding with replacement characters, which no longer name the file: a
// name that came as bytes keeps them while the field shows the text it was given.
class FieldName {
public:
    QString hold(const QByteArray& name);
    // Nothing when `text` cannot be encoded without loss.

    std::optional<QByteArray> bytes(const QString& text) const;

private:
    QByteArray m_name;
    QString m_text;
    bool m_held = false;
};

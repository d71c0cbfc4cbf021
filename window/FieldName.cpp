#include "window/FieldName.h"

#include <QFile>

QString FieldName::hold(const QByteArray& name) {
    m_name = name;
    m_text = QFile::decodeName(name);
    m_held = true;
    return m_text;
}

std::optional<QByteArray> FieldName::bytes(const QString& text) const {
    if (m_held && text == m_text) {
        return m_name;
    }
    // A replacement character stands for bytes that are lost: typed or edited, such
    // a name would silently name another file.
    const QByteArray encoded = QFile::encodeName(text);
    if (text.contains(QChar::ReplacementCharacter) || QFile::decodeName(encoded) != text) {
        return std::nullopt;
    }
    return encoded;
}

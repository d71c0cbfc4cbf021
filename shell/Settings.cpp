#include "shell/Settings.h"

#include <stdexcept>

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace {

constexpr const char* group = "Quarnel";

QString statusText(QSettings::Status status) {
    return status == QSettings::AccessError
               ? QCoreApplication::translate("Settings", "Permission denied or file not writable")
               : QCoreApplication::translate("Settings", "Settings file is malformed");
}

} // namespace

QString Settings::defaultFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/Velmarc.conf");
}

Settings::Settings(QString file) : m_file(std::move(file)) {}

QString Settings::read(const QString& key, const QString& defaultValue) const {
    const QVariant value = this->value(key);
    if (!value.isValid()) {
        return defaultValue;
    }
    // A hand-edited value with a comma reads back as a list; keep it as one text.
    if (value.userType() == QMetaType::QStringList) {
        return value.toStringList().join(QLatin1String(", "));
    }
    return value.toString();
}

QByteArray Settings::readName(const QString& key, const QByteArray& defaultValue) const {
    const QVariant value = this->value(key);
    if (value.userType() == QMetaType::QByteArray) {
        return value.toByteArray();
    }
    return value.isValid() ? QFile::encodeName(read(key, QString())) : defaultValue;
}

void Settings::writeName(const QString& key, const QByteArray& name) const {
    const QString text = QFile::decodeName(name);
    if (QFile::encodeName(text) == name) {
        write(key, text);
    } else {
        store(key, name);
    }
}

QVariant Settings::value(const QString& key) const {
    // A fresh QSettings per call: another instance of the program may have written
    // the file since, and nothing here may answer from a cache.
    QSettings store(m_file, QSettings::IniFormat);
    store.beginGroup(QLatin1String(group));
    const QVariant value = store.value(key);
    if (store.status() != QSettings::NoError) {
        throw std::runtime_error(QCoreApplication::translate("Settings", "Cannot read setting \"%1\" from %2: %3")
                                     .arg(key, m_file, statusText(store.status()))
                                     .toStdString());
    }
    return value;
}

void Settings::write(const QString& key, const QString& value) const {
    store(key, value);
}

void Settings::store(const QString& key, const QVariant& value) const {
    QSettings store(m_file, QSettings::IniFormat);
    store.beginGroup(QLatin1String(group));
    store.setValue(key, value);
    store.sync();
    if (store.status() != QSettings::NoError) {
        throw std::runtime_error(QCoreApplication::translate("Settings", "Cannot write setting \"%1\" to %2: %3")
                                     .arg(key, m_file, statusText(store.status()))
                                     .toStdString());
    }
}

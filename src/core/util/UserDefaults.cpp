#include "util/UserDefaults.h"

#include "util/AppPaths.h"

namespace vellmir {

QString UserDefaults::defaultFilePath()
{
    return AppPaths::configDirectory() + QStringLiteral("/Vellmir/Vellmir.conf");
}

UserDefaults::UserDefaults()
    : UserDefaults(defaultFilePath())
{
}

UserDefaults::UserDefaults(const QString &filePath)
    : m_settings(std::make_unique<QSettings>(filePath, QSettings::IniFormat))
{
}

bool UserDefaults::contains(const QString &key) const
{
    return m_settings->contains(key);
}

std::optional<QVariant> UserDefaults::value(const QString &key) const
{
    if (!m_settings->contains(key))
        return std::nullopt;
    return m_settings->value(key);
}

bool UserDefaults::boolValue(const QString &key, bool fallback) const
{
    const std::optional<QVariant> stored = value(key);
    if (!stored)
        return fallback;
    // Ini files hold text; "true"/"false" and numbers both convert.
    return stored->toBool();
}

std::optional<QString> UserDefaults::stringValue(const QString &key) const
{
    const std::optional<QVariant> stored = value(key);
    if (!stored)
        return std::nullopt;
    return stored->toString();
}

std::optional<qint64> UserDefaults::integerValue(const QString &key) const
{
    const std::optional<QVariant> stored = value(key);
    if (!stored)
        return std::nullopt;
    bool ok = false;
    const qint64 number = stored->toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return number;
}

void UserDefaults::setValue(const QString &key, const QVariant &value)
{
    m_settings->setValue(key, value);
    m_settings->sync();
}

void UserDefaults::remove(const QString &key)
{
    m_settings->remove(key);
    m_settings->sync();
}

void UserDefaults::sync()
{
    m_settings->sync();
}

} // namespace vellmir

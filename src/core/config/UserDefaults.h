#pragma once

#include "util/FileStamp.h"

#include <QMap>
#include <QString>
#include <QVariant>
#include <optional>

namespace vellmir {

// The user defaults: one settings file shared by every process of the application,
// $XDG_CONFIG_HOME/Vellmir/Vellmir.conf, in the INI format QSettings writes (files of earlier
// versions read as they are). The file is ours like any other: read only as a bounded regular
// file, never through a link, and replaced at its own path. Each change re-reads the file under
// its lock and writes it at once, and a read after the file changed reads it again, because other
// processes read and change the same file.
class UserDefaults {
public:
    UserDefaults(); // the user's own defaults
    explicit UserDefaults(const QString &filePath);

    bool contains(const QString &key) const;
    std::optional<QVariant> value(const QString &key) const;
    bool boolValue(const QString &key, bool fallback) const;
    std::optional<QString> stringValue(const QString &key) const;
    std::optional<qint64> integerValue(const QString &key) const;
    // A change that cannot be saved is logged and leaves the file as it was.
    void setValue(const QString &key, const QVariant &value);
    void remove(const QString &key);
    // Re-reads what other processes wrote.
    void sync();

    static QString defaultFilePath();

    static inline const QString useFullDiskAccess = QStringLiteral("useFullDiskAccess");
    static inline const QString schedulerRegisteredBuild = QStringLiteral("schedulerRegisteredBuild");
    // Why the last registration of the scheduler failed; absent once one succeeds.
    static inline const QString schedulerRegistrationFailure = QStringLiteral("schedulerRegistrationFailure");
    static inline const QString agentChangesWithoutApproval = QStringLiteral("agentChangesWithoutApproval");

private:
    void change(const QString &key, const std::optional<QString> &text);
    // What the file holds, read again when it changed since it was last read.
    const QMap<QString, QString> &values() const;

    QString m_path;
    mutable FileStamp m_stamp; // of the file as last read
    // Keys as QSettings names them ("group/key"; top-level keys have no group), values as text.
    mutable QMap<QString, QString> m_values;
};

} // namespace vellmir

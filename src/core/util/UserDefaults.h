#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>

namespace vellmir {

// The user defaults: one settings file shared by every process of the application,
// $XDG_CONFIG_HOME/Vellmir/Vellmir.conf. Each write is synced at once because other
// processes read the same file.
class UserDefaults {
public:
    UserDefaults(); // the user's own defaults
    explicit UserDefaults(const QString &filePath);

    bool contains(const QString &key) const;
    std::optional<QVariant> value(const QString &key) const;
    bool boolValue(const QString &key, bool fallback) const;
    std::optional<QString> stringValue(const QString &key) const;
    std::optional<qint64> integerValue(const QString &key) const;
    void setValue(const QString &key, const QVariant &value);
    void remove(const QString &key);
    // Re-reads what other processes wrote.
    void sync();

    static QString defaultFilePath();

    static inline const QString showInDock = QStringLiteral("showInDock");
    static inline const QString useFullDiskAccess = QStringLiteral("useFullDiskAccess");
    static inline const QString suppressFullDiskAccessPrompt = QStringLiteral("suppressFullDiskAccessPrompt");
    static inline const QString schedulerRegisteredBuild = QStringLiteral("schedulerRegisteredBuild");
    // Why the last registration of the scheduler failed; absent once one succeeds.
    static inline const QString schedulerRegistrationFailure = QStringLiteral("schedulerRegistrationFailure");
    static inline const QString updateChannel = QStringLiteral("UpdateChannel");
    static inline const QString agentChangesWithoutApproval = QStringLiteral("agentChangesWithoutApproval");

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace vellmir

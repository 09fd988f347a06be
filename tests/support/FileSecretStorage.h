#pragma once

#include "platform/SecretStorage.h"
#include "util/AtomicFile.h"

#include <QDir>
#include <QFile>

namespace vellmir::test {

// Test secrets kept one file per item in a folder, for tests whose processes must share
// them. Only ever holds made-up secrets of a temporary test home.
class FileSecretStorage : public SecretStorage {
public:
    explicit FileSecretStorage(QString folder)
        : m_folder(std::move(folder))
    {
    }

    std::optional<QString> password(const QString &service, const QString &account) const override
    {
        const std::optional<QByteArray> bytes = readFileIfExists(path(service, account));
        if (!bytes)
            return std::nullopt;
        return QString::fromUtf8(*bytes);
    }

    QMap<QString, QString> passwords(const QString &service, const QStringList &accounts) const override
    {
        QMap<QString, QString> found;
        for (const QString &account : accounts)
            if (const std::optional<QString> secret = password(service, account))
                found.insert(account, *secret);
        return found;
    }

    void set(const QString &secret, const QString &service, const QString &account) override
    {
        writeFileAtomically(path(service, account), secret.toUtf8());
    }

    void remove(const QString &service, const QString &account) override
    {
        const QString file = path(service, account);
        if (QFile::exists(file) && !QFile::remove(file))
            throw Error(QStringLiteral("Keyring error: could not delete the item."));
    }

private:
    QString path(const QString &service, const QString &account) const
    {
        return m_folder + u'/' + QString::fromLatin1((service + u'\n' + account).toUtf8().toHex());
    }

    QString m_folder;
};

} // namespace vellmir::test

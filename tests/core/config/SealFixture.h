#pragma once

#include "MemorySealKeyStore.h"
#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "config/ConfigSeal.h"
#include "util/AtomicFile.h"
#include "util/Json.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <memory>

namespace vellmir::test {

// A configuration folder in a private home, with in-memory secrets and seal key.
struct SealFixture {
    TestHome home;
    std::shared_ptr<MemorySecretStorage> secrets = std::make_shared<MemorySecretStorage>();
    std::shared_ptr<MemorySealKeyStore> keys = std::make_shared<MemorySealKeyStore>();
    CredentialsStore credentials { secrets };
    QString folder = home.dataDirectory();
    QString destinationsPath = folder + QStringLiteral("/destinations.json");
    QString userDefaultsPath = home.path() + QStringLiteral("/.config/Vellmir/Vellmir.conf");
    ConfigSeal seal { destinationsPath, keys, credentials, userDefaultsPath };

    QString sealPath() const { return folder + QStringLiteral("/config.seal"); }
    QString policyPath() const { return folder + QStringLiteral("/agent-policy.json"); }

    // The same folder as seen from another computer: same keyring items, no seal key.
    ConfigSeal sealWithKeys(std::shared_ptr<SealKeyStore> other) const
    {
        return ConfigSeal(destinationsPath, std::move(other), credentials, userDefaultsPath);
    }

    static Destination destination(const QString &name, Destination::Kind kind, const QString &repository)
    {
        Destination d;
        d.id = newUuid();
        d.credentialID = newUuid();
        d.name = name;
        d.kind = kind;
        d.repository = repository;
        d.sources = { QStringLiteral("/home/ana/Documents") };
        return d;
    }

    // Stores one secret per role the destination needs, "<role>-of-<name>".
    void storeSecrets(const Destination &d) const
    {
        for (CredentialRole role : credentialRoles(d.kind))
            credentials.setSecret(
                CredentialRoles::toString(role) + QStringLiteral("-of-") + d.name, role, d.credentialID);
    }

    void writeDestinations(const QList<Destination> &list) const
    {
        writeFileAtomically(destinationsPath, json::pretty(Destination::listToJson(list)));
    }

    QList<Destination> readDestinations() const
    {
        return Destination::listFromJson(json::parseArray(readFile(destinationsPath)));
    }

    // Two destinations with their secrets, sealed by a first check.
    QList<Destination> sealedPair(bool policyOn = false)
    {
        const Destination a
            = destination(QStringLiteral("Pictures"), Destination::Kind::local, QStringLiteral("/srv/a"));
        const Destination b = destination(
            QStringLiteral("Offsite"), Destination::Kind::backblazeB2, QStringLiteral("b2:bucket:vellmir"));
        storeSecrets(a);
        storeSecrets(b);
        writeDestinations({ a, b });
        if (policyOn)
            seal.writePolicy(AgentPolicy::Settings { true });
        if (seal.verify() != ConfigIntegrity::valid())
            throw std::runtime_error("the first check did not seal");
        return { a, b };
    }

    // Every file of the configuration folder, by name, for before-and-after comparisons.
    QMap<QString, QByteArray> snapshotFiles() const
    {
        QMap<QString, QByteArray> files;
        const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : names)
            files.insert(name, readFile(folder + u'/' + name));
        return files;
    }
};

} // namespace vellmir::test

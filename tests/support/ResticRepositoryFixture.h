#pragma once

#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "engine/ResticEngine.h"
#include "util/Uuid.h"

#include <QDir>
#include <QMap>

#include <memory>

namespace vellmir::test {

// One local repository made with the installed restic, shared by every case of a test: a fresh
// home, a destination whose password lives in memory, and one snapshot of the source folder.
class ResticRepositoryFixture {
protected:
    std::unique_ptr<TestHome> m_home;
    CredentialsStore m_credentials { std::make_shared<MemorySecretStorage>() };
    Destination m_destination;
    Snapshot m_snapshot;
    QString m_source;

    QString path(const QString &relative) const { return m_home->path() + u'/' + relative; }
    ResticEngine engine() const { return ResticEngine(std::nullopt, path(QStringLiteral("locks"))); }

    // Writes `files` (paths below the source folder, with their bytes), backs them up into a new
    // repository and makes the "target" folder. False, with restic's complaint in `error`, when
    // that fails.
    bool makeRepository(const QMap<QString, QByteArray> &files, QString &error)
    {
        m_home = std::make_unique<TestHome>();
        m_destination.id = newUuid();
        m_destination.credentialID = newUuid();
        m_destination.repository = path(QStringLiteral("repo"));
        m_credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, m_destination.credentialID);
        m_source = path(QStringLiteral("source"));
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            writeFile(m_source + it.key(), it.value());

        const ResticEnvironment environment = m_credentials.resticEnvironment(m_destination);
        for (const ResticCommand &command :
            { ResticCommand(QStringLiteral("init")), ResticCommand(QStringLiteral("backup")).positional(m_source) }) {
            const ResticResult result = engine().run(command, environment);
            if (result.exitCode != 0) {
                error = result.stderr;
                return false;
            }
        }
        const QList<Snapshot> snapshots = engine().listSnapshots(environment);
        if (snapshots.size() != 1) {
            error = QStringLiteral("expected one snapshot, found %1").arg(snapshots.size());
            return false;
        }
        m_snapshot = snapshots.first();
        QDir().mkpath(path(QStringLiteral("target")));
        return true;
    }
};

} // namespace vellmir::test

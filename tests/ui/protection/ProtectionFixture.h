#pragma once

#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "engine/MachineIdentity.h"
#include "protection/ProtectionDetailsModel.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace vellmir::test {

// A folder walk that waits until the test lets it finish, so a test can look at the panel
// while a scan runs.
struct HeldScan {
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    CoverageAudit result;

    void release()
    {
        const std::lock_guard guard(mutex);
        open = true;
        released.notify_all();
    }
    CoverageAudit wait()
    {
        std::unique_lock lock(mutex);
        released.wait(lock, [this] { return open; });
        return result;
    }
};

// One test's world for the protection details: a private home, a local destination with its
// password in memory, its own health folder, and a scripted fake restic behind a wrapper that
// also puts the sample file in place when asked to restore it.
class ProtectionFixture {
public:
    ProtectionFixture()
    {
        qputenv("FAKE_RESTIC_DIR", QFile::encodeName(m_fake.path()));
        qputenv("TMPDIR", QFile::encodeName(m_temp.path()));
        const QString wrapper = m_tools.filePath(QStringLiteral("restic"));
        writeFile(wrapper,
            "#!/bin/sh\n"
            "if [ \"$1\" = restore ] && [ -e \"$FAKE_RESTIC_DIR/restore-creates\" ]; then\n"
            "    mkdir -p \"$3/s\" && echo sample >\"$3/s/sample.txt\"\n"
            "fi\n"
            "exec '"
                + QFile::encodeName(supportPath(QStringLiteral("fake-restic"))) + "' \"$@\"\n");
        QFile::setPermissions(wrapper, QFile::permissions(wrapper) | QFileDevice::ExeOwner);

        destination.id = newUuid();
        destination.credentialID = newUuid();
        destination.name = QStringLiteral("Home disk");
        destination.kind = Destination::Kind::local;
        destination.repository = m_home.path() + QStringLiteral("/repo");
        destination.sources
            = { m_home.path() + QStringLiteral("/Documents"), m_home.path() + QStringLiteral("/Pictures") };
        destination.excludes
            = { QStringLiteral("*.tmp"), QStringLiteral("~/Library/Caches"), QStringLiteral(".cache") };
        CredentialsStore(m_secrets).setSecret(
            QStringLiteral("pw"), CredentialRole::repoPassword, destination.credentialID);
    }
    ~ProtectionFixture()
    {
        qunsetenv("FAKE_RESTIC_DIR");
        qunsetenv("TMPDIR");
    }

    QString healthDirectory() const { return m_home.path() + QStringLiteral("/health"); }
    QString healthFile() const { return healthDirectory() + u'/' + uuidText(destination.id) + QStringLiteral(".json"); }
    RepositoryHealthStore store() const
    {
        return RepositoryHealthStore(healthDirectory(), CredentialsStore(m_secrets));
    }

    ProtectionDetailsModel::Services services()
    {
        return { ResticEngine(m_tools.filePath(QStringLiteral("restic")), m_home.path() + QStringLiteral("/locks")),
            store(), [held = heldScan](const Destination &) { return held->wait(); } };
    }
    ProtectionDetailsModel *model(QObject *parent = nullptr)
    {
        return new ProtectionDetailsModel(destination, services(), parent);
    }

    // A record that cannot be read: a folder where the file belongs (a damaged file would only
    // be set aside). writeHealth() puts a file back.
    void breakHealth() const
    {
        QFile::remove(healthFile());
        QDir().mkpath(healthFile());
    }
    void writeHealth(const RepositoryHealth &health) const
    {
        QDir(healthFile()).removeRecursively();
        QDir().mkpath(healthDirectory());
        writeFile(healthFile(), health.encoded());
    }
    // A record of this destination's repository.
    RepositoryHealth health() const
    {
        RepositoryHealth health;
        health.repository = destination.repository;
        return health;
    }

    // A file of the fake restic's script (see tests/support/fake-restic).
    void script(const QString &name, const QByteArray &content) const { writeFile(m_fake.filePath(name), content); }
    QStringList samples() const
    {
        return QDir(m_temp.path()).entryList({ RepositoryHealthStore::sampleFolderPrefix() + u'*' }, QDir::AllEntries);
    }
    // One snapshot of this computer holding one small file, /s/sample.txt.
    void scriptSnapshotWithSample() const
    {
        script(QStringLiteral("snapshots.stdout"),
            "[{\"id\":\"mine\",\"time\":\"2026-01-01T10:00:00Z\",\"hostname\":\""
                + MachineIdentity::knownHostnames().first().toUtf8() + "\"}]");
        script(QStringLiteral("ls.stdout"),
            "{\"struct_type\":\"node\",\"path\":\"/s\",\"type\":\"dir\",\"size\":0}\n"
            "{\"struct_type\":\"node\",\"path\":\"/s/sample.txt\",\"type\":\"file\",\"size\":7}\n");
        script(QStringLiteral("restore-creates"), "");
    }

    Destination destination;
    std::shared_ptr<HeldScan> heldScan = std::make_shared<HeldScan>();

private:
    TestHome m_home;
    QTemporaryDir m_fake;
    QTemporaryDir m_tools;
    QTemporaryDir m_temp;
    std::shared_ptr<MemorySecretStorage> m_secrets = std::make_shared<MemorySecretStorage>();
};

} // namespace vellmir::test

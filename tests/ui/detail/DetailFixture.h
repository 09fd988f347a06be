#pragma once

// One destination pane's world: a private home with a sealed destinations file, secrets and
// the seal key in memory, restic replaced by the scripted fake, the scheduler by a counter.

#include "FakePlatform.h"
#include "MemorySealKeyStore.h"
#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "config/DestinationStore.h"
#include "detail/DestinationDetailModel.h"
#include "operations/BackupHistory.h"
#include "operations/BackupRunner.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUndoStack>

namespace vellmir::test {

struct DetailFixture {
    TestHome home;
    QTemporaryDir fake;
    std::shared_ptr<MemorySecretStorage> secrets = std::make_shared<MemorySecretStorage>();
    std::shared_ptr<MemorySealKeyStore> keys = std::make_shared<MemorySealKeyStore>();
    CredentialsStore credentials { secrets };
    std::unique_ptr<DestinationStore> store;
    QUndoStack undo;
    Destination destination;
    int reconciled = 0;
    QStringList alerts;
    bool fileAccessGranted = true;
    bool fileAccessWanted = false;
    int edits = 0;
    int deletions = 0;

    DetailFixture()
    {
        qputenv("FAKE_RESTIC_DIR", QFile::encodeName(fake.path()));
        store = std::make_unique<DestinationStore>(
            home.dataDirectory() + QStringLiteral("/destinations.json"), credentials, keys);
        store->reload();
        destination.id = newUuid();
        destination.credentialID = newUuid();
        destination.name = QStringLiteral("Studio NAS");
        destination.kind = Destination::Kind::local;
        destination.repository = home.path() + QStringLiteral("/repo");
        destination.sources = { home.path() + QStringLiteral("/Documents") };
        destination.excludes = { QStringLiteral("*.tmp") };
        destination.retention = { 7, 4, 12, 2 };
        credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, destination.credentialID);
        store->upsert(destination);
    }
    ~DetailFixture() { qunsetenv("FAKE_RESTIC_DIR"); }

    QString historyDirectory() const { return home.dataDirectory() + QStringLiteral("/history"); }
    ResticEngine engine() const
    {
        return ResticEngine(supportPath(QStringLiteral("fake-restic")), home.path() + QStringLiteral("/locks"));
    }

    DestinationDetailModel::Services services()
    {
        BackupRunner::Services runnerServices;
        runnerServices.environmentProvider
            = [credentials = credentials](const Destination &d) { return credentials.resticEnvironment(d); };
        runnerServices.accessCheck = [] { return true; };
        runnerServices.fullDiskAccessWanted = [] { return false; };
        runnerServices.notify = [](const NotificationContent &) {};
        runnerServices.keepAwake = std::make_shared<FakeKeepAwake>();
        DestinationDetailModel::Services services { store.get(), engine(), credentials,
            std::make_unique<BackupRunner>(engine(), BackupHistory(historyDirectory()), runnerServices),
            historyDirectory(), [this] { return fileAccessGranted; }, [this] { return fileAccessWanted; },
            [this](const QList<Destination> &) {
                ++reconciled;
                return std::optional<QString>();
            },
            &undo, [this](const QString &message) { alerts.append(message); } };
        return services;
    }

    std::unique_ptr<DestinationDetailModel> model()
    {
        return std::make_unique<DestinationDetailModel>(
            destination, services(), [this] { ++edits; }, [this] { ++deletions; });
    }

    void script(const QString &name, const QByteArray &content) const { writeFile(fake.filePath(name), content); }
    void unscript(const QString &name) const { QFile::remove(fake.filePath(name)); }
    QStringList arguments() const
    {
        const QString path = fake.filePath(QStringLiteral("args"));
        return QFile::exists(path) ? QString::fromUtf8(readFile(path)).split(u'\n', Qt::SkipEmptyParts) : QStringList();
    }
    bool resticRan() const { return QFile::exists(fake.filePath(QStringLiteral("pid"))); }

    // A snapshots listing in restic's order (oldest first); the engine lists newest first.
    static QByteArray snapshotsJson(int count)
    {
        QJsonArray list;
        for (int i = 0; i < count; ++i) {
            const QString id = QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')).repeated(32);
            list.append(QJsonObject { { "id", id }, { "short_id", id.left(8) },
                { "time", QStringLiteral("2026-03-%1T09:00:00Z").arg(i + 1, 2, 10, QLatin1Char('0')) },
                { "hostname", "workstation" }, { "paths", QJsonArray { "/src" } },
                { "summary", QJsonObject { { "total_bytes_processed", 1500000 * (i + 1) } } } });
        }
        return QJsonDocument(list).toJson(QJsonDocument::Compact);
    }
    // "restic forget --json" removing `count` snapshots.
    static QByteArray forgetJson(int count)
    {
        QJsonArray remove;
        for (int i = 0; i < count; ++i)
            remove.append(QJsonObject { { "id", QString::number(i) } });
        return QJsonDocument(QJsonArray { QJsonObject { { "remove", remove } } }).toJson(QJsonDocument::Compact);
    }

    void writeRecord(const BackupRecord &record) const
    {
        QDir().mkpath(historyDirectory());
        writeFile(BackupHistory(historyDirectory()).filePath(record.id), record.encoded());
    }

    // Waits until `done` holds, running the event loop that brings results back.
    template <typename Condition> static bool waitFor(Condition done) { return QTest::qWaitFor(done, 10000); }
};

} // namespace vellmir::test

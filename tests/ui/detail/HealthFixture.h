#pragma once

#include "FakePlatform.h"
#include "TestSupport.h"
#include "detail/DestinationHealthModel.h"
#include "operations/BackupHistory.h"
#include "operations/BackupRunner.h"
#include "util/Uuid.h"

#include <QDir>
#include <QTemporaryDir>

namespace vellmir::test {

// A destination with its own history and health folders, a settable clock and a runner over
// the fake restic, for the health row's model and widget.
struct HealthFixture {
    TestHome home;
    QTemporaryDir dir;
    Destination destination;
    Date now = Date::fromUnix(1767366245); // 2026-01-02 15:04:05 UTC
    bool automaticBackupsOff = false;

    HealthFixture()
    {
        QDir().mkpath(script());
        destination.id = newUuid();
        destination.credentialID = newUuid();
        destination.name = QStringLiteral("Photos <archive>");
        destination.kind = Destination::Kind::local;
        destination.repository = dir.filePath(QStringLiteral("repo"));
        destination.sources = { home.path() + QStringLiteral("/Pictures") };
        destination.excludes = { QStringLiteral("*.tmp") };
        destination.pruneAfterBackup = false;
    }

    QString historyDirectory() const { return dir.filePath(QStringLiteral("history")); }
    QString healthDirectory() const { return dir.filePath(QStringLiteral("health")); }
    QString script() const { return dir.filePath(QStringLiteral("script")); }
    QString healthFile() const { return healthDirectory() + u'/' + uuidText(destination.id) + QStringLiteral(".json"); }

    // A record of the destination's current settings, finished `age` seconds before now.
    BackupRecord record(BackupRecord::Outcome outcome, std::optional<double> age, double startedAge = 7200)
    {
        BackupRecord record(destination.id, now.addingSeconds(-startedAge));
        record.outcome = outcome;
        if (age)
            record.finishedAt = now.addingSeconds(-*age);
        record.scope = destination.backupScope();
        return record;
    }

    void write(const BackupRecord &record) const
    {
        QDir().mkpath(historyDirectory());
        writeFile(BackupHistory(historyDirectory()).filePath(record.id), record.encoded());
    }

    void writeVerifiedRestore(Date when) const
    {
        RepositoryHealth health;
        health.repository = destination.repository;
        health.lastVerifiedRestore = when;
        health.restoredSelection = QStringLiteral("Whole snapshot");
        QDir().mkpath(healthDirectory());
        writeFile(healthFile(), health.encoded());
    }

    std::unique_ptr<BackupRunner> runner() const
    {
        BackupRunner::Services services;
        const QString password = QStringLiteral("pw-health-row");
        services.environmentProvider = [this, password](const Destination &d) {
            return ResticEnvironment { { QStringLiteral("RESTIC_REPOSITORY"), d.repository },
                { QStringLiteral("RESTIC_PASSWORD"), password }, { QStringLiteral("FAKE_RESTIC_DIR"), script() } };
        };
        services.accessCheck = [] { return true; };
        services.fullDiskAccessWanted = [] { return false; };
        services.notify = [](const NotificationContent &) {};
        services.keepAwake = std::make_shared<FakeKeepAwake>();
        return std::make_unique<BackupRunner>(
            ResticEngine(supportPath(QStringLiteral("fake-restic")), dir.filePath(QStringLiteral("locks"))),
            BackupHistory(historyDirectory()), services);
    }

    DestinationHealthModel *model()
    {
        DestinationHealthModel::Sources sources { historyDirectory(), healthDirectory(), [this] { return now; },
            dir.filePath(QStringLiteral("requests")), [this] { return automaticBackupsOff; } };
        return new DestinationHealthModel(destination, sources, runner());
    }

    void setScript(const QString &name, const QByteArray &content) const { writeFile(script() + u'/' + name, content); }
    bool resticStarted() const { return QFile::exists(script() + QStringLiteral("/pid")); }
};

} // namespace vellmir::test

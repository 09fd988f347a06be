#pragma once

#include "MemorySecretStorage.h"
#include "TestSupport.h"
#include "config/CredentialsStore.h"
#include "config/Destination.h"
#include "engine/ResticEngine.h"
#include "engine/Snapshot.h"
#include "restore/RestoreServices.h"
#include "util/Uuid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <memory>

namespace vellmir::test {

// One test's world for the restore views: a private home, a scripted fake restic that also
// logs every run's arguments, a local destination with its password in memory and two
// snapshots of it.
class RestoreFixture {
public:
    RestoreFixture()
    {
        qputenv("FAKE_RESTIC_DIR", QFile::encodeName(m_fake.path()));
        // Each run appends its arguments to "runs", so a test can count restic runs.
        const QString wrapper = m_tools.filePath(QStringLiteral("restic"));
        writeFile(wrapper,
            "#!/bin/sh\necho \"$*\" >>\"$FAKE_RESTIC_DIR/runs\"\nexec '"
                + QFile::encodeName(supportPath(QStringLiteral("fake-restic"))) + "' \"$@\"\n");
        QFile::setPermissions(wrapper, QFile::permissions(wrapper) | QFileDevice::ExeOwner);
        QDir().mkpath(path(QStringLiteral("target")));
        QDir().mkpath(path(QStringLiteral("repo")));
        restoreWrites(1);

        destination.id = newUuid();
        destination.credentialID = newUuid();
        destination.name = QStringLiteral("Home disk");
        destination.kind = Destination::Kind::local;
        destination.repository = path(QStringLiteral("repo"));
        credentials.setSecret(QStringLiteral("pw"), CredentialRole::repoPassword, destination.credentialID);

        newest.id = QStringLiteral("43c4900edef76cb4e54bf5f224ade17d47eebb8cac2c8105dcdbfeb9da5b2d69");
        newest.shortID = QStringLiteral("43c4900e");
        newest.time = Date::fromIso8601(QStringLiteral("2026-03-04T09:05:00Z")).value();
        newest.hostname = QStringLiteral("workstation");
        older.id = QStringLiteral("9e807afe243867c186d91b91ca6a0fb1e1a768a0a5fa4375b0a5ed2abdf94614");
        older.shortID = QStringLiteral("9e807afe");
        older.time = Date::fromIso8601(QStringLiteral("2026-02-01T18:30:00Z")).value();
        older.hostname = QStringLiteral("laptop");
    }
    ~RestoreFixture() { qunsetenv("FAKE_RESTIC_DIR"); }

    QString path(const QString &relative) const { return m_home.path() + u'/' + relative; }
    const TestHome &home() const { return m_home; }

    RestoreServices services() const
    {
        return RestoreServices { ResticEngine(
                                     m_tools.filePath(QStringLiteral("restic")), path(QStringLiteral("locks"))),
            credentials, RepositoryHealthStore(credentials) };
    }

    // A file of the fake restic's script (see tests/support/fake-restic).
    void script(const QString &name, const QByteArray &content) const { writeFile(m_fake.filePath(name), content); }
    void unscript(const QString &name) const { QFile::remove(m_fake.filePath(name)); }

    // Every restore writes `files` files into its folder, below the folders of their path.
    void restoreWrites(qint64 files) const
    {
        QByteArray lines;
        for (qint64 i = 1; i <= files; ++i)
            lines += "home/ann/file-" + QByteArray::number(i) + ".txt\n";
        script(QStringLiteral("restore.writes"), lines);
    }

    // The argument lists of every restic run so far, oldest first.
    QStringList runs() const
    {
        const QString file = m_fake.filePath(QStringLiteral("runs"));
        if (!QFileInfo::exists(file))
            return {};
        return QString::fromUtf8(readFile(file)).split(u'\n', Qt::SkipEmptyParts);
    }
    // The process id of the last restic run, the leader of its process group; 0 before one wrote it.
    pid_t lastPid() const
    {
        const QString file = m_fake.filePath(QStringLiteral("pid"));
        return QFileInfo::exists(file) ? readFile(file).trimmed().toInt() : 0;
    }
    // The arguments of the last run, one each.
    QStringList lastArguments() const
    {
        return QString::fromUtf8(readFile(m_fake.filePath(QStringLiteral("args")))).split(u'\n', Qt::SkipEmptyParts);
    }

    // One line of "restic ls --json" for a node.
    static QByteArray node(const QString &path, const QString &type, qint64 size = 0)
    {
        QJsonObject object { { QStringLiteral("name"), QFileInfo(path).fileName() }, { QStringLiteral("type"), type },
            { QStringLiteral("path"), path }, { QStringLiteral("message_type"), QStringLiteral("node") },
            { QStringLiteral("struct_type"), QStringLiteral("node") } };
        if (type != QLatin1String("dir"))
            object.insert(QStringLiteral("size"), size);
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    // A successful restore's output with its summary line.
    static QByteArray restoreOutput(qint64 files, qint64 bytes)
    {
        return QByteArrayLiteral("{\"message_type\":\"status\",\"percent_done\":0.5,\"files_restored\":1,"
                                 "\"total_files\":2,\"bytes_restored\":1,\"total_bytes\":2}\n")
            + QStringLiteral("{\"message_type\":\"summary\",\"total_files\":%1,\"files_restored\":%1,"
                             "\"total_bytes\":%2,\"bytes_restored\":%2}\n")
                  .arg(files)
                  .arg(bytes)
                  .toUtf8();
    }
    // The "Vellmir Restore <UUID>" folders in `folder`.
    static QStringList restoreFolders(const QString &folder)
    {
        return QDir(folder).entryList({ QStringLiteral("Vellmir Restore *") }, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    std::shared_ptr<MemorySecretStorage> keyring = std::make_shared<MemorySecretStorage>();
    CredentialsStore credentials { keyring };
    Destination destination;
    Snapshot newest;
    Snapshot older;

private:
    TestHome m_home;
    QTemporaryDir m_fake;
    QTemporaryDir m_tools;
};

} // namespace vellmir::test

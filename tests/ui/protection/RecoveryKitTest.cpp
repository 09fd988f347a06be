#include "protection/RecoveryKit.h"

#include "../../core/exclude/ExcludeTree.h"
#include "util/SystemError.h"
#include "util/Uuid.h"

#include <QtTest>

#include <sys/stat.h>

using namespace vellmir;
using namespace vellmir::test;

namespace {

Destination sampleDestination()
{
    Destination destination;
    destination.id = QUuid::createUuid();
    destination.credentialID = destination.id;
    destination.name = QStringLiteral("Photos");
    destination.kind = Destination::Kind::local;
    destination.repository = QStringLiteral("/media/disk/restic");
    destination.sources = { QStringLiteral("/home/a/Pictures") };
    destination.excludes = { QStringLiteral("*.tmp") };
    return destination;
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return mode_t(-1);
    return st.st_mode & 07777;
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A kit model whose panel answers from a queue and whose file viewer is a list.
struct Harness {
    QList<std::optional<QString>> answers;
    QStringList revealed;
    RecoveryKit kit { sampleDestination(),
        [this]() -> std::optional<QString> { return answers.isEmpty() ? std::nullopt : answers.takeFirst(); },
        [this](const QString &path) { revealed.append(path); } };
};

} // namespace

class RecoveryKitTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void exportWritesAPrivateKitAndRevealsIt();
    void eachExportMakesANewKit();
    void cancelledChoiceChangesNothing();
    void failedExportReportsAndRevealsNothing_data();
    void failedExportReportsAndRevealsNothing();
    void readOnlyFolderFails();
};

void RecoveryKitTest::exportWritesAPrivateKitAndRevealsIt()
{
    QTemporaryDir dir;
    QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    Harness harness;
    harness.answers = { dir.path() + u'/' };
    QSignalSpy changed(&harness.kit, &RecoveryKit::messageChanged);

    // A umask that strips the owner's write bit must not change the kit's mode.
    const mode_t previous = ::umask(0222);
    harness.kit.exportKit();
    ::umask(previous);

    QCOMPARE(changed.count(), 1);
    const QStringList kits = entriesOf(dir.path());
    QCOMPARE(kits.size(), 1);
    const QString name = kits.constFirst();
    QVERIFY(name.startsWith(QStringLiteral("Vellmir Recovery Kit ")));
    const QString uuid = name.mid(21);
    QCOMPARE(uuid.size(), 36);
    QVERIFY(parseUuid(uuid).has_value());
    QCOMPARE(uuid, uuid.toUpper());

    const QString kit = dir.path() + u'/' + name;
    QCOMPARE(harness.kit.message(), std::optional<QString>(RecoveryKit::exportedMessage(kit)));
    QCOMPARE(harness.revealed, QStringList { kit });
    QCOMPARE(modeOf(kit), mode_t(0700));
    QCOMPARE(entriesOf(kit), (QStringList { "READ-ME.txt", "recovery-plan.json" }));
    QVERIFY(RecoveryPlan::decodeFile(readFile(kit + QStringLiteral("/recovery-plan.json"))) == harness.kit.plan());
    QCOMPARE(QString::fromUtf8(readFile(kit + QStringLiteral("/READ-ME.txt"))), harness.kit.instructions());
}

void RecoveryKitTest::eachExportMakesANewKit()
{
    QTemporaryDir dir;
    Harness harness;
    harness.answers = { dir.path(), dir.path() };
    harness.kit.exportKit();
    harness.kit.exportKit();
    QCOMPARE(entriesOf(dir.path()).size(), 2);
    QCOMPARE(harness.revealed.size(), 2);
    QVERIFY(harness.revealed.at(0) != harness.revealed.at(1));
}

void RecoveryKitTest::cancelledChoiceChangesNothing()
{
    Harness harness;
    harness.answers = { QStringLiteral("/nonexistent-folder-for-kit"), std::nullopt };
    harness.kit.exportKit();
    const std::optional<QString> failure = harness.kit.message();
    QVERIFY(failure.has_value());

    QSignalSpy changed(&harness.kit, &RecoveryKit::messageChanged);
    harness.kit.exportKit();
    QCOMPARE(harness.kit.message(), failure);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(harness.revealed, QStringList {});
}

void RecoveryKitTest::failedExportReportsAndRevealsNothing_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("shown"); // `relative` as the message writes it
    QTest::newRow("missing folder") << QStringLiteral("gone/deeper") << systemErrorText(ENOENT)
                                    << QStringLiteral("gone/deeper");
    QTest::newRow("a file, not a folder")
        << QStringLiteral("file") << systemErrorText(ENOTDIR) << QStringLiteral("file");
    QTest::newRow("a line break in the name") << QStringLiteral("gone\nline/deeper") << systemErrorText(ENOENT)
                                              << QStringLiteral("gone\u27E8U+000A\u27E9line/deeper");
}

void RecoveryKitTest::failedExportReportsAndRevealsNothing()
{
    QFETCH(QString, relative);
    QFETCH(QString, reason);
    QFETCH(QString, shown);
    QTemporaryDir dir;
    makeFile(dir.path(), QStringLiteral("file"), 1);
    Harness harness;
    harness.answers = { dir.path() + u'/' + relative };
    harness.kit.exportKit();

    const QString message = harness.kit.message().value_or(QString());
    QVERIFY2(message.startsWith(QStringLiteral("Export failed: Could not create the folder ") + dir.path() + u'/'
                 + shown + QStringLiteral("/Vellmir Recovery Kit ")),
        qPrintable(message));
    QVERIFY2(message.endsWith(QStringLiteral(": ") + reason + u'.'), qPrintable(message));
    QCOMPARE(harness.revealed, QStringList {});
    QCOMPARE(entriesOf(dir.path()), QStringList { "file" });
}

void RecoveryKitTest::readOnlyFolderFails()
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path());
    QCOMPARE(::chmod(path.constData(), 0555), 0);
    Harness harness;
    harness.answers = { dir.path() };
    {
        WithoutReadOverride unprivileged; // root would write past the mode
        harness.kit.exportKit();
    }
    ::chmod(path.constData(), 0700);
    const QString message = harness.kit.message().value_or(QString());
    if (message.startsWith(QStringLiteral("Exported to ")))
        QSKIP("This thread writes past permissions");
    QVERIFY2(message.endsWith(QStringLiteral(": ") + systemErrorText(EACCES) + u'.'), qPrintable(message));
    QCOMPARE(entriesOf(dir.path()), QStringList {});
    QCOMPARE(harness.revealed, QStringList {});
}

QTEST_GUILESS_MAIN(RecoveryKitTest)
#include "RecoveryKitTest.moc"

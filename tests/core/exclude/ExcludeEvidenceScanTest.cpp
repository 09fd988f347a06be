#include "exclude/ExcludeEvidenceScan.h"
#include "exclude/SmartExclude.h"

#include "util/Error.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vellmir;

namespace {

QString text(const char16_t *value)
{
    return QString::fromUtf16(value);
}

const QByteArray signature("Signature: 8a477f597d28d172789f06886806bc55");

// File sizes rather than allocated blocks, so sparse files stand for large ones.
ExcludeScanHooks logicalHooks(QSet<QString> ruleNames = { QStringLiteral("node_modules") })
{
    ExcludeScanHooks hooks = ExcludeScanHooks::local();
    const auto local = hooks.inspect;
    hooks.inspect = [local](const QString &path) {
        auto item = local(path);
        if (item)
            item->allocatedSize.reset();
        return item;
    };
    hooks.isRuleName = [ruleNames](const QString &name) { return ruleNames.contains(name); };
    return hooks;
}

void makeSparse(const QString &path, qint64 size)
{
    test::writeFile(path, {});
    QVERIFY(::truncate(QFile::encodeName(path).constData(), size) == 0);
}

const ExcludeEvidence *find(const ExcludeDiscovery &discovery, const QString &path)
{
    for (const ExcludeEvidence &evidence : discovery.candidates)
        if (evidence.path == path)
            return &evidence;
    return nullptr;
}

QStringList paths(const ExcludeDiscovery &discovery)
{
    QStringList result;
    for (const ExcludeEvidence &evidence : discovery.candidates)
        result.append(evidence.path);
    return result;
}

} // namespace

class ExcludeEvidenceScanTest : public QObject {
    Q_OBJECT

private:
    QString root() const { return m_dir->path(); }
    ExcludeDiscovery scan(const QStringList &sources, const ExcludeScanLimits &limits = {})
    {
        return discoverForAI(sources, limits, {}, logicalHooks());
    }

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void idAndPatternDeriveFromPath()
    {
        ExcludeEvidence evidence;
        evidence.path = QStringLiteral("/Users/a/[x]*?");
        QCOMPARE(evidence.pattern(), QStringLiteral("/Users/a/\\[x\\]\\*\\?"));
        QCOMPARE(evidence.id(), QStringLiteral("e46ece2fccf521377fe6021b7675d073373c2fa073d88c103cfa6073c973772c"));
        evidence.path = QStringLiteral("C:\\x");
        QCOMPARE(evidence.pattern(), QStringLiteral("C:\\\\x"));
        ExcludeEvidence other = evidence;
        other.bytes = 5;
        QCOMPARE(other.id(), evidence.id());
        other.path += u'/';
        QVERIFY(other.id() != evidence.id());
    }

    void emptySourcesGiveEmptyDiscovery() { QVERIFY(scan({}) == ExcludeDiscovery {}); }

    void sourceProblemsBecomeIssues()
    {
        QDir().mkpath(root() + QStringLiteral("/real"));
        QVERIFY(QFile::link(root() + QStringLiteral("/real"), root() + QStringLiteral("/link")));
        const ExcludeDiscovery discovery = scan(
            { QStringLiteral("projects/x"), root() + QStringLiteral("/missing"), root() + QStringLiteral("/link") });
        // Sources are taken shortest first, so the link comes before the missing folder.
        QCOMPARE(discovery.issues,
            QStringList({ text(ExcludeEvidenceTexts::relativeSource), text(ExcludeEvidenceTexts::unavailable),
                text(ExcludeEvidenceTexts::unresolved) }));
        QCOMPARE(discovery.inspectedEntries, 0);
    }

    void sourcesAreNormalisedAndNestedOnesWalkedOnce()
    {
        test::writeFile(root() + QStringLiteral("/a/c/build/x.o"), "1234");
        test::writeFile(root() + QStringLiteral("/a/c/sub/build/y.o"), "12");
        const ExcludeDiscovery single = scan({ root() + QStringLiteral("/a/./b/../c") });
        QVERIFY(single.issues.isEmpty());
        QCOMPARE(paths(single),
            QStringList({ root() + QStringLiteral("/a/c/build"), root() + QStringLiteral("/a/c/sub/build") }));
        QCOMPARE(single.candidates[0].relativePath, QStringLiteral("/build"));
        QCOMPARE(single.candidates[0].bytes, 4);

        // The nested source is neither walked again nor offered itself.
        const ExcludeDiscovery nested = scan({ root() + QStringLiteral("/a/c/sub/build/"),
            root() + QStringLiteral("/a/c"), root() + QStringLiteral("/a/c") });
        QCOMPARE(nested.inspectedEntries, single.inspectedEntries);
        QCOMPARE(paths(nested), QStringList({ root() + QStringLiteral("/a/c/build") }));
    }

    void candidateSelection_data()
    {
        QTest::addColumn<QStringList>("files"); // "path" or "path=size" (sparse) or "path@tag"
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("candidate");
        QTest::addColumn<QString>("recovery");

        const QString tag = text(ExcludeEvidenceTexts::tagRecovery);
        QTest::newRow("keyword in any case") << QStringList { "Build/a.o" } << "Build" << true << QString();
        QTest::newRow("temp keyword") << QStringList { "MyTempFiles/a" } << "MyTempFiles" << true << QString();
        QTest::newRow("plain small folder") << QStringList { "notes/a" } << "notes" << false << QString();
        QTest::newRow("large folder") << QStringList { "media/a=100000000" } << "media" << true << QString();
        QTest::newRow("just below size") << QStringList { "media/a=99999999" } << "media" << false << QString();
        QTest::newRow("rule name untagged")
            << QStringList { "node_modules/x/y" } << "node_modules" << false << QString();
        QTest::newRow("rule name large") << QStringList { "node_modules/a=200000000" } << "node_modules" << false
                                         << QString();
        QTest::newRow("rule name tagged")
            << QStringList { "node_modules/CACHEDIR.TAG@full" } << "node_modules" << true << tag;
        QTest::newRow("tag with trailing text") << QStringList { "stuff/CACHEDIR.TAG@long" } << "stuff" << true << tag;
        QTest::newRow("tag cut short") << QStringList { "stuff/CACHEDIR.TAG@short" } << "stuff" << false << QString();
        QTest::newRow("cmake beside lists") << QStringList { "CMakeLists.txt", "CMakeFiles/a" } << "CMakeFiles" << true
                                            << text(ExcludeEvidenceTexts::cmakeRecovery);
        QTest::newRow("cmake alone") << QStringList { "CMakeFiles/a" } << "CMakeFiles" << false << QString();
        QTest::newRow("obj beside csproj")
            << QStringList { "App.csproj", "obj/a" } << "obj" << true << text(ExcludeEvidenceTexts::dotnetRecovery);
        QTest::newRow("obj alone") << QStringList { "main.c", "obj/a" } << "obj" << false << QString();
    }

    void candidateSelection()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, folder);
        QFETCH(bool, candidate);
        QFETCH(QString, recovery);
        const QString source = root() + QStringLiteral("/src");
        for (const QString &entry : files) {
            if (entry.contains(u'=')) {
                makeSparse(source + u'/' + entry.section(u'=', 0, 0), entry.section(u'=', 1).toLongLong());
            } else if (entry.contains(u'@')) {
                const QString kind = entry.section(u'@', 1);
                const QByteArray content = kind == u"full" ? signature
                    : kind == u"long"                      ? signature + "\n# created by some tool\n"
                                                           : signature.left(42);
                test::writeFile(source + u'/' + entry.section(u'@', 0, 0), content);
            } else {
                test::writeFile(source + u'/' + entry, "x");
            }
        }
        const ExcludeDiscovery discovery = scan({ source });
        const ExcludeEvidence *evidence = find(discovery, source + u'/' + folder);
        QCOMPARE(evidence != nullptr, candidate);
        if (!evidence)
            return;
        QCOMPARE(evidence->recovery.value_or(QString()), recovery);
        QCOMPARE(evidence->markers.contains(text(ExcludeEvidenceTexts::tagMarker)),
            recovery == text(ExcludeEvidenceTexts::tagRecovery));
        QVERIFY(evidence->complete);
    }

    void partialHooksFallBackToTheRealAnswers()
    {
        test::writeFile(root() + QStringLiteral("/src/cache/f"), "x");
        ExcludeScanHooks hooks;
        hooks.isRuleName = [](const QString &) { return false; };
        QCOMPARE(paths(discoverForAI({ root() + QStringLiteral("/src") }, {}, {}, hooks)),
            QStringList({ root() + QStringLiteral("/src/cache") }));
    }

    void ruleTableNamesAreLeftToTheRuleScan()
    {
        const QString source = root() + QStringLiteral("/src");
        for (const char *folder : { "__pycache__/a.pyc", "GPUCache/b", ".venv/c", "mycache/d" })
            test::writeFile(source + u'/' + QString::fromUtf8(folder), "x");
        const ExcludeDiscovery discovery = SmartExclude().discoverForAI({ source });
        QCOMPARE(paths(discovery), QStringList({ source + QStringLiteral("/mycache") }));
    }

    void evidenceCarriesTypesMarkersAndRisks()
    {
        const QString source = root() + QStringLiteral("/src");
        test::writeFile(source + QStringLiteral("/package.json"), "{}");
        test::writeFile(source + QStringLiteral("/Tool.csproj"), "");
        test::writeFile(source + QStringLiteral("/out-build/README"), "abc");
        test::writeFile(source + QStringLiteral("/out-build/deep/Photo.JPG"), "ab");
        test::writeFile(source + QStringLiteral("/out-build/x.VeryLongExtensionNameOverTwenty"), "");
        const ExcludeDiscovery discovery = scan({ source });
        QCOMPARE(discovery.candidates.size(), 1);
        const ExcludeEvidence &evidence = discovery.candidates[0];
        QCOMPARE(evidence.bytes, 5);
        QCOMPARE(evidence.fileCount, 3);
        QCOMPARE(evidence.fileTypes,
            QStringList(
                { QStringLiteral("jpg"), QStringLiteral("no extension"), QStringLiteral("verylongextensionnam") }));
        QCOMPARE(evidence.markers,
            QStringList(
                { QStringLiteral("Parent project: *.csproj"), QStringLiteral("Parent project: package.json") }));
        QCOMPARE(evidence.risks, QStringList({ text(ExcludeEvidenceTexts::documentsRisk) }));
        QVERIFY(!evidence.recovery);
    }

    // Twenty characters, not twenty UTF-16 units: a cut must not split a letter in two.
    void fileTypeCutKeepsWholeCharacters()
    {
        const QString nineteen(19, u'a');
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        const QString source = root() + QStringLiteral("/src");
        test::writeFile(source + QStringLiteral("/cache/f.") + nineteen + emoji + QStringLiteral("b"), "");
        const ExcludeDiscovery discovery = scan({ source });
        QCOMPARE(discovery.candidates.size(), 1);
        QCOMPARE(discovery.candidates[0].fileTypes, QStringList({ nineteen + emoji }));
    }

    void fileTypesStopAtSixteen()
    {
        const QString folder = root() + QStringLiteral("/src/cache");
        for (int i = 0; i < 20; ++i)
            test::writeFile(folder + QStringLiteral("/f.t%1").arg(i), "");
        const ExcludeDiscovery discovery = scan({ root() + QStringLiteral("/src") });
        QCOMPARE(discovery.candidates.size(), 1);
        QCOMPARE(discovery.candidates[0].fileTypes.size(), 16);
        QCOMPARE(discovery.candidates[0].fileCount, 20);
    }

    void riskyNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("risky");
        QTest::newRow(".env.local") << ".env.local" << true;
        QTest::newRow("Credentials.bin") << "Credentials.bin" << true;
        QTest::newRow("capital PDF") << "report.PDF" << true;
        QTest::newRow("sqlite db") << "store.sqlite3" << true;
        QTest::newRow(".ENV") << ".ENV" << false;
        QTest::newRow("object file") << "main.o" << false;
    }

    void riskyNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, risky);
        test::writeFile(root() + QStringLiteral("/src/cache/inner/") + name, "x");
        const ExcludeDiscovery discovery = scan({ root() + QStringLiteral("/src") });
        const ExcludeEvidence *evidence = find(discovery, root() + QStringLiteral("/src/cache"));
        QVERIFY(evidence);
        QCOMPARE(evidence->risks.contains(text(ExcludeEvidenceTexts::documentsRisk)), risky);
    }

    void protectedItemsAreNotEnteredAndMarkAncestors()
    {
        const QString source = root() + QStringLiteral("/src");
        test::writeFile(source + QStringLiteral("/cache/a/.git/build/objects"), "x");
        test::writeFile(source + QStringLiteral("/build/Documents/temp/letter"), "x");
        test::writeFile(source + QStringLiteral("/target.bin"), "x");
        QVERIFY(QDir().mkpath(source + QStringLiteral("/output")));
        QVERIFY(QFile::link(source + QStringLiteral("/target.bin"), source + QStringLiteral("/output/link")));
        const ExcludeDiscovery discovery = scan({ source });
        QCOMPARE(paths(discovery),
            QStringList({ source + QStringLiteral("/build"), source + QStringLiteral("/cache"),
                source + QStringLiteral("/output") }));
        for (const ExcludeEvidence &evidence : discovery.candidates) {
            QCOMPARE(evidence.risks, QStringList({ text(ExcludeEvidenceTexts::protectedRisk) }));
            QCOMPARE(evidence.fileCount, 0);
        }
    }

    void cloudOnlyItemsAreProtected()
    {
        const QString source = root() + QStringLiteral("/src");
        test::writeFile(source + QStringLiteral("/cache/remote/file"), "x");
        test::writeFile(source + QStringLiteral("/cache/local"), "x");
        ExcludeScanHooks hooks = logicalHooks();
        const auto inner = hooks.inspect;
        hooks.inspect = [inner, source](const QString &path) {
            auto item = inner(path);
            if (item && path == source + QStringLiteral("/cache/remote"))
                item->isDataless = true;
            return item;
        };
        const ExcludeDiscovery discovery = discoverForAI({ source }, {}, {}, hooks);
        QCOMPARE(paths(discovery), QStringList({ source + QStringLiteral("/cache") }));
        QCOMPARE(discovery.candidates[0].fileCount, 1);
        QCOMPARE(discovery.candidates[0].risks, QStringList({ text(ExcludeEvidenceTexts::protectedRisk) }));
    }

    void specialAndUnreadableEntries()
    {
        const QString source = root() + QStringLiteral("/src");
        test::writeFile(source + QStringLiteral("/cache/secret.bin"), "12345");
        QVERIFY(::mkfifo(QFile::encodeName(source + QStringLiteral("/build/pipe")).constData(), 0600) == 0
            || (QDir().mkpath(source + QStringLiteral("/build"))
                && ::mkfifo(QFile::encodeName(source + QStringLiteral("/build/pipe")).constData(), 0600) == 0));
        ExcludeScanHooks hooks = logicalHooks();
        hooks.isReadable
            = [source](const QString &path) { return path != source + QStringLiteral("/cache/secret.bin"); };
        const ExcludeDiscovery discovery = discoverForAI({ source }, {}, {}, hooks);
        const ExcludeEvidence *cache = find(discovery, source + QStringLiteral("/cache"));
        const ExcludeEvidence *build = find(discovery, source + QStringLiteral("/build"));
        QVERIFY(cache && build);
        QCOMPARE(cache->risks, QStringList({ text(ExcludeEvidenceTexts::unreadableRisk) }));
        QCOMPARE(cache->bytes, 5); // still counted
        QCOMPARE(build->risks, QStringList({ text(ExcludeEvidenceTexts::specialRisk) }));
        QCOMPARE(build->fileCount, 0);
    }

    void unreadableMetadataSkipsOnlyThatFolder()
    {
        const QString source = root() + QStringLiteral("/src");
        test::writeFile(source + QStringLiteral("/cache/blind/data"), "123");
        ExcludeScanHooks hooks = logicalHooks();
        const auto inner = hooks.inspect;
        hooks.inspect = [inner, source](const QString &path) {
            return path == source + QStringLiteral("/cache/blind") ? std::nullopt : inner(path);
        };
        const ExcludeDiscovery discovery = discoverForAI({ source }, {}, {}, hooks);
        QCOMPARE(discovery.issues, QStringList({ text(ExcludeEvidenceTexts::metadata) }));
        QCOMPARE(paths(discovery), QStringList({ source + QStringLiteral("/cache") }));
        QCOMPARE(discovery.candidates[0].bytes, 3);
        QVERIFY(!discovery.candidates[0].complete);
    }

    void folderThatCannotBeListedIsReported()
    {
        const QString source = root() + QStringLiteral("/src");
        test::writeFile(source + QStringLiteral("/cache/gone/data"), "123");
        test::writeFile(source + QStringLiteral("/cache/kept"), "12");
        // The folder disappears between being listed and being entered, as an unreadable one
        // would fail to open (permissions cannot stop root, which runs these tests).
        ExcludeScanHooks hooks = logicalHooks();
        const auto inner = hooks.inspect;
        hooks.inspect = [inner, source](const QString &path) {
            auto item = inner(path);
            if (path == source + QStringLiteral("/cache/gone"))
                QDir(path).removeRecursively();
            return item;
        };
        const ExcludeDiscovery discovery = discoverForAI({ source }, {}, {}, hooks);
        QCOMPARE(discovery.issues, QStringList({ text(ExcludeEvidenceTexts::unreadableFolders) }));
        const ExcludeEvidence *cache = find(discovery, source + QStringLiteral("/cache"));
        QVERIFY(cache);
        QCOMPARE(cache->bytes, 2);
        QVERIFY(!cache->complete);
    }

    void depthLimitStopsAtLevel25()
    {
        QString folder = root() + QStringLiteral("/src");
        for (int level = 1; level <= 26; ++level)
            folder += QStringLiteral("/build%1").arg(level);
        test::writeFile(folder + QStringLiteral("/f"), "x");
        const ExcludeDiscovery discovery = scan({ root() + QStringLiteral("/src") });
        QCOMPARE(discovery.issues, QStringList({ text(ExcludeEvidenceTexts::depthLimit) }));
        QCOMPARE(discovery.candidates.size(), 24);
        QVERIFY(find(discovery, root() + QStringLiteral("/src/build1")));
        for (const ExcludeEvidence &evidence : discovery.candidates) {
            QVERIFY(!evidence.path.endsWith(u"/build25"));
            QCOMPARE(evidence.fileCount, 0);
            QVERIFY(!evidence.complete);
        }
    }

    void candidateCap_data()
    {
        QTest::addColumn<int>("folders");
        QTest::addColumn<bool>("cut");
        QTest::newRow("121") << 121 << true;
        QTest::newRow("120") << 120 << false;
    }

    void candidateCap()
    {
        QFETCH(int, folders);
        QFETCH(bool, cut);
        for (int i = 0; i < folders; ++i)
            QVERIFY(QDir().mkpath(root() + QStringLiteral("/src/cache%1").arg(i, 3, 10, QLatin1Char('0'))));
        test::writeFile(root() + QStringLiteral("/src/cache000/f"), "x");
        const ExcludeDiscovery discovery = scan({ root() + QStringLiteral("/src") });
        QCOMPARE(discovery.candidates.size(), 120);
        QCOMPARE(discovery.candidates[0].path, root() + QStringLiteral("/src/cache000"));
        QCOMPARE(discovery.candidates[1].path, root() + QStringLiteral("/src/cache001")); // equal sizes by path
        if (cut) {
            QCOMPARE(discovery.issues,
                QStringList({ QStringLiteral("Showing the largest 120 of 121 candidate folders. Other folders were not "
                                             "sent to AI.") }));
            QVERIFY(!find(discovery, root() + QStringLiteral("/src/cache120")));
        } else {
            QVERIFY(discovery.issues.isEmpty());
        }
        QVERIFY(discovery.candidates[0].complete); // the cut comes after completeness is decided
    }

    void entryAndTimeLimits_data()
    {
        QTest::addColumn<qint64>("entries");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<qint64>("inspected");
        QTest::addColumn<QString>("issue");
        QTest::newRow("entries") << qint64(2) << 15.0 << qint64(2)
                                 << "Scan limit reached (2 entries / 15 seconds). Choose smaller sources for a "
                                    "complete review.";
        QTest::newRow("time") << qint64(30000) << 0.0 << qint64(0)
                              << "Scan limit reached (30000 entries / 0 seconds). Choose smaller sources for a "
                                 "complete review.";
    }

    void entryAndTimeLimits()
    {
        QFETCH(qint64, entries);
        QFETCH(double, seconds);
        QFETCH(qint64, inspected);
        QFETCH(QString, issue);
        test::writeFile(root() + QStringLiteral("/a/cache/f"), "x");
        test::writeFile(root() + QStringLiteral("/a/cache/g"), "x");
        test::writeFile(root() + QStringLiteral("/b/cache/f"), "x");
        ExcludeScanLimits limits;
        limits.entries = entries;
        limits.seconds = seconds;
        const ExcludeDiscovery discovery
            = scan({ root() + QStringLiteral("/a"), root() + QStringLiteral("/b") }, limits);
        QCOMPARE(discovery.inspectedEntries, inspected);
        QCOMPARE(discovery.issues, QStringList({ issue }));
        QVERIFY(!find(discovery, root() + QStringLiteral("/b/cache"))); // later sources are not walked
        for (const ExcludeEvidence &evidence : discovery.candidates)
            QVERIFY(!evidence.complete);
    }

    void controlCharactersAreFlagged()
    {
        const QString folder = root() + QStringLiteral("/src/build") + QChar(0x200E) + QStringLiteral("x");
        test::writeFile(folder + QStringLiteral("/f"), "x");
        const ExcludeDiscovery discovery = scan({ root() + QStringLiteral("/src") });
        QCOMPARE(discovery.candidates.size(), 1);
        QCOMPARE(discovery.candidates[0].risks, QStringList({ text(ExcludeEvidenceTexts::controlRisk) }));
    }

    void allocatedSizeIsPreferred()
    {
        makeSparse(root() + QStringLiteral("/src/cache/sparse"), 50'000'000);
        const ExcludeDiscovery discovery = discoverForAI({ root() + QStringLiteral("/src") });
        QCOMPARE(discovery.candidates.size(), 1);
        QVERIFY(discovery.candidates[0].bytes < 1'000'000);
    }

    void cancellationIsChecked_data()
    {
        QTest::addColumn<int>("stopAfter"); // inspections before the stop; -1 = before the first source
        QTest::newRow("before sources") << -1;
        QTest::newRow("during walk") << 3;
    }

    void cancellationIsChecked()
    {
        QFETCH(int, stopAfter);
        for (int i = 0; i < 5; ++i)
            test::writeFile(root() + QStringLiteral("/src/cache/f%1").arg(i), "x");
        std::stop_source stop;
        ExcludeScanHooks hooks = logicalHooks();
        if (stopAfter < 0) {
            stop.request_stop();
        } else {
            const auto inner = hooks.inspect;
            auto count = std::make_shared<int>(0);
            hooks.inspect = [inner, count, stopAfter, &stop](const QString &path) {
                if ((*count)++ == stopAfter)
                    stop.request_stop();
                return inner(path);
            };
        }
        QVERIFY_THROWS_EXCEPTION(
            CancellationError, discoverForAI({ root() + QStringLiteral("/src") }, {}, stop.get_token(), hooks));
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_GUILESS_MAIN(ExcludeEvidenceScanTest)
#include "ExcludeEvidenceScanTest.moc"

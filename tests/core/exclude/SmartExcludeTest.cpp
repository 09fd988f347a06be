#include "exclude/SmartExclude.h"

#include "exclude/ExcludeMatcher.h"

#include "ExcludeTree.h"

#include <QtTest>

#include <unistd.h>

using namespace vellmir;
using namespace vellmir::test;

namespace {
ExcludeCandidate candidate(const QString &name, const QString &reason, qint64 count, qint64 bytes, bool recommended)
{
    return { name, name, reason, count, bytes, recommended, ExcludeCandidate::Source::rule };
}
} // namespace

class SmartExcludeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void ruleTableHasEveryKey();
    void ruleRows_data();
    void ruleRows();
    void cacheHeuristic_data();
    void cacheHeuristic();
    void directorySizeCountsRegularFilesBelow();
    void directorySizeOfWhatCannotBeListed_data();
    void directorySizeOfWhatCannotBeListed();
    void directorySizeReachesPastDeepNesting();
    void walksPassOverUnreadableFolders();
    void scanNamesEachFolderByItsPath();
    void scanFindsOnlyRealFoldersWithExactNames();
    void scanStartsBelowTheSource();
    void scanOfNothing_data();
    void scanOfNothing();
    void candidatesCompareAllFields();
};

void SmartExcludeTest::ruleTableHasEveryKey()
{
    const auto &rules = SmartExclude::rules();
    QCOMPARE(rules.size(), 51);
    int recommended = 0;
    for (const auto &rule : rules) {
        if (rule.recommended)
            ++recommended;
    }
    QCOMPARE(recommended, 31);
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        const SmartExclude::Rule *viaBytes = SmartExclude::ruleFor(it.key().toUtf8().constData());
        QVERIFY(viaBytes);
        QVERIFY(*viaBytes == it.value());
    }
}

void SmartExcludeTest::ruleRows_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason"); // empty: not a key
    QTest::addColumn<bool>("recommended");

    QTest::newRow("node_modules") << "node_modules"
                                  << "Node.js dependencies (npm/yarn reinstall)" << true;
    QTest::newRow("venv") << "venv"
                          << "Python virtualenv (recreate)" << true;
    QTest::newRow("Code Cache") << "Code Cache"
                                << "Chromium code cache (regenerable)" << true;
    QTest::newRow("DawnWebGPUCache") << "DawnWebGPUCache"
                                     << "GPU shader cache (regenerable)" << true;
    QTest::newRow(".gradle") << ".gradle"
                             << "May include Gradle properties and initialization scripts; review" << false;
    QTest::newRow("target (em dash)") << "target"
                                      << QString::fromUtf8("Rust/Maven build output (generic name — review)") << false;
    QTest::newRow("vendor (em dash)") << "vendor"
                                      << QString::fromUtf8("Vendored dependencies (sometimes committed — review)")
                                      << false;
    QTest::newRow(".cache") << ".cache"
                            << "Name suggests a cache; review contents" << false;
    QTest::newRow("CachedData") << "CachedData"
                                << "Name suggests cached data; review contents" << false;
    QTest::newRow(".Trash") << ".Trash"
                            << "Trash (discardable)" << true;
    QTest::newRow(".git") << ".git"
                          << "Git history (exclude only if pushed to a remote)" << false;
    QTest::newRow("Build is not build") << "Build" << QString() << false;
    QTest::newRow("no prefix match") << "node_module" << QString() << false;
}

void SmartExcludeTest::ruleRows()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QFETCH(bool, recommended);
    const auto &rules = SmartExclude::rules();
    if (reason.isEmpty()) {
        QVERIFY(!rules.contains(name));
        QVERIFY(!SmartExclude::ruleFor(name.toUtf8().constData()));
        return;
    }
    QVERIFY(rules.contains(name));
    QCOMPARE(rules.value(name).reason, reason);
    QCOMPARE(rules.value(name).recommended, recommended);
}

void SmartExcludeTest::cacheHeuristic_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("suggests");
    QTest::newRow("words") << "Browser Cache Data" << true;
    QTest::newRow("upper") << "SHADERCACHE" << true;
    QTest::newRow("at end") << "webcache" << true;
    QTest::newRow("short") << "cach" << false;
    QTest::newRow("broken") << "ca che" << false;
    QTest::newRow("unicode around") << QString::fromUtf8("Überca\u0301che Cache") << true;
    QTest::newRow("empty") << QString() << false;
}

void SmartExcludeTest::cacheHeuristic()
{
    QFETCH(QString, name);
    QFETCH(bool, suggests);
    QCOMPARE(SmartExclude::nameSuggestsCache(name.toUtf8().constData()), suggests);
    QCOMPARE(name.toLower().contains(QStringLiteral("cache")), suggests);
}

void SmartExcludeTest::directorySizeCountsRegularFilesBelow()
{
    QTemporaryDir dir;
    const QString root = dir.path() + QStringLiteral("/f");
    const QStringList files { "a", ".hidden", "x/y/z.bin", "x/.git/objects/o", "App.app/Contents/bin" };
    makeFile(root, files[0], 10);
    makeFile(root, files[1], 5000);
    makeFile(root, files[2], 70000);
    makeFile(root, files[3], 1);
    makeFile(root, files[4], 9000);
    makeFolder(root, QStringLiteral("empty"));
    makeLink(root, QStringLiteral("link"), root + QStringLiteral("/x"));
    makeLink(dir.path(), QStringLiteral("outside"), root);
    QVERIFY(::mkfifo(QFile::encodeName(root + QStringLiteral("/pipe")).constData(), 0600) == 0);

    const qint64 expected = allocatedSum(root, files);
    QVERIFY(expected > 0);
    QCOMPARE(SmartExclude::directorySize(root), expected);
    QCOMPARE(SmartExclude::directorySize(root + u'/'), expected);
    // A folder named by a link is measured: the caller chose it.
    QCOMPARE(SmartExclude::directorySize(dir.path() + QStringLiteral("/outside")), expected);
    QCOMPARE(SmartExclude::directorySize(root + QStringLiteral("/empty")), qint64(0));
    // restic never backs up its own cache, so leaving it out saves nothing.
    makeFile(root, QStringLiteral("x/restic/pack"), 9000);
    const QByteArray cache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(root + QStringLiteral("/x")));
    const qint64 withCache = SmartExclude::directorySize(root);
    qputenv("XDG_CACHE_HOME", cache);
    QCOMPARE(withCache, expected);
}

void SmartExcludeTest::directorySizeOfWhatCannotBeListed_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing") << "missing";
    QTest::newRow("plain file") << "file";
    QTest::newRow("empty path") << "";
}

void SmartExcludeTest::directorySizeOfWhatCannotBeListed()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    makeFile(dir.path(), QStringLiteral("file"), 100);
    QCOMPARE(SmartExclude::directorySize(relative.isEmpty() ? QString() : dir.path() + u'/' + relative), qint64(0));
}

void SmartExcludeTest::directorySizeReachesPastDeepNesting()
{
    // Deeper than the walk keeps folders open, so the deep part takes the full-path road.
    QTemporaryDir dir;
    QString relative;
    for (int i = 0; i < 150; ++i)
        relative += QStringLiteral("d/");
    makeFile(dir.path(), relative + QStringLiteral("bottom"), 100);
    makeFile(dir.path(), QStringLiteral("top"), 100);
    QCOMPARE(SmartExclude::directorySize(dir.path()),
        allocated(dir.path() + u'/' + relative + QStringLiteral("bottom"))
            + allocated(dir.path() + QStringLiteral("/top")));
}

void SmartExcludeTest::walksPassOverUnreadableFolders()
{
    TestHome home;
    const QString root = home.path() + QStringLiteral("/p");
    makeFile(root, QStringLiteral("a"), 5000);
    makeFile(root, QStringLiteral("locked/inside"), 5000);
    makeFile(root, QStringLiteral("locked/node_modules/x"), 5000);
    makeFile(root, QStringLiteral("z/node_modules/y"), 7000);
    const QString locked = root + QStringLiteral("/locked");
    QVERIFY(::chmod(QFile::encodeName(locked).constData(), 0) == 0);

    qint64 size = 0;
    QList<ExcludeCandidate> found;
    {
        WithoutReadOverride unprivileged;
        if (WithoutReadOverride::canList(QFile::encodeName(locked))) {
            ::chmod(QByteArray(QFile::encodeName(locked)).constData(), 0700);
            QSKIP("This thread reads past permissions");
        }
        size = SmartExclude::directorySize(root);
        found = SmartExclude().scan({ root });
    }
    ::chmod(QFile::encodeName(locked).constData(), 0700);

    QCOMPARE(size, allocatedSum(root, { "a", "z/node_modules/y" }));
    QCOMPARE(found,
        (QList<ExcludeCandidate> {
            candidate(root + QStringLiteral("/z/node_modules"), "Node.js dependencies (npm/yarn reinstall)", 1,
                allocated(root + QStringLiteral("/z/node_modules/y")), true) }));
}

void SmartExcludeTest::scanNamesEachFolderByItsPath()
{
    TestHome home;
    const QString root = home.path();
    makeFile(root, QStringLiteral("one/node_modules/a/index.js"), 4000);
    makeFile(root, QStringLiteral("one/node_modules/a/node_modules/b/index.js"), 8000);
    makeFile(root, QStringLiteral("two/lib/node_modules/c.js"), 40000);
    makeFolder(root, QStringLiteral("two/venv"));
    makeFile(root, QStringLiteral("two/Browser Cache Data/blob"), 100);
    makeFile(root, QStringLiteral("two/src/node_modules"), 100); // a plain file no suggestion counts

    // "two/lib" lies inside "two": its folder is still one suggestion.
    const QList<ExcludeCandidate> found = SmartExclude().scan(
        { root + QStringLiteral("/one"), root + QStringLiteral("/two"), root + QStringLiteral("/two/lib") });
    const QString modules = QStringLiteral("Node.js dependencies (npm/yarn reinstall)");
    const QList<ExcludeCandidate> expected {
        candidate(root + QStringLiteral("/two/lib/node_modules"), modules, 1,
            allocated(root + QStringLiteral("/two/lib/node_modules/c.js")), true),
        candidate(root + QStringLiteral("/one/node_modules"), modules, 1,
            allocatedSum(root, { "one/node_modules/a/index.js", "one/node_modules/a/node_modules/b/index.js" }), true),
        candidate(root + QStringLiteral("/two/Browser Cache Data"), "Name suggests a cache; review contents", 1,
            allocated(root + QStringLiteral("/two/Browser Cache Data/blob")), false),
        candidate(root + QStringLiteral("/two/venv"), "Python virtualenv (recreate)", 1, 0, true),
    };
    QCOMPARE(found, expected);
    for (const ExcludeCandidate &suggestion : found)
        QVERIFY(!ExcludeMatcher({ suggestion.pattern }).matches(root + QStringLiteral("/two/src/node_modules"), {}));
}

void SmartExcludeTest::scanFindsOnlyRealFoldersWithExactNames()
{
    TestHome home;
    const QString root = home.path();
    makeFile(root, QStringLiteral("p/node_modules"), 100); // a plain file
    makeFile(root, QStringLiteral("p/Build/out.o"), 100);
    makeFile(root, QStringLiteral("elsewhere/dist/x"), 100);
    makeLink(root, QStringLiteral("p/dist"), root + QStringLiteral("/elsewhere/dist"));
    makeFile(root, QStringLiteral("p/Build/.cache/blob"), 100); // found inside an unmatched folder
    // No pattern can spell a name that is not UTF-8: the folder is named with the reason, not offered.
    makeFileAt(QFile::encodeName(root + QStringLiteral("/p")), { "Cache\xe9" }, "blob", 100);

    const QList<ExcludeCandidate> found = SmartExclude().scan({ root + QStringLiteral("/p") });
    QCOMPARE(found.size(), 2);
    QCOMPARE(found.first().pattern, root + QStringLiteral("/p/Build/.cache"));
    QCOMPARE(found.last().pattern, QString());
    QCOMPARE(found.last().reason,
        QStringLiteral("\u201C") + root
            + QStringLiteral("/p/Cache\\xE9\u201D is not offered: its path is not valid UTF-8, so no exclude pattern "
                             "can name it. Rename the folder to exclude it."));

    // The home's own caches are the home-data detector's to offer: the walk passes over them.
    makeFile(root, QStringLiteral(".cache/thumbnails/blob"), 100);
    makeFile(root, QStringLiteral(".var/app/org.a/cache/blob"), 100);
    makeFile(root, QStringLiteral(".var/app/org.a/data/cache/blob"), 100);
    QStringList patterns;
    for (const ExcludeCandidate &suggestion : SmartExclude().scan({ root }))
        patterns.append(suggestion.pattern);
    patterns.sort();
    QCOMPARE(patterns,
        QStringList({ QString(), root + QStringLiteral("/.var/app/org.a/data/cache"),
            root + QStringLiteral("/elsewhere/dist"), root + QStringLiteral("/p/Build/.cache") }));
}

void SmartExcludeTest::scanStartsBelowTheSource()
{
    TestHome home;
    const QString source = home.path() + QStringLiteral("/node_modules");
    makeFile(source, QStringLiteral("pkg/.cache/x"), 100);
    makeFile(source, QStringLiteral("pkg/index.js"), 100);
    const QList<ExcludeCandidate> found = SmartExclude().scan({ source });
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.first().pattern, source + QStringLiteral("/pkg/.cache"));
    QCOMPARE(found.first().instanceCount, qint64(1));
}

void SmartExcludeTest::scanOfNothing_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::newRow("no sources") << QStringList();
    QTest::newRow("missing sources") << QStringList { "/nonexistent/one", "/nonexistent/node_modules" };
}

void SmartExcludeTest::scanOfNothing()
{
    QFETCH(QStringList, sources);
    QVERIFY(SmartExclude().scan(sources).isEmpty());
}

void SmartExcludeTest::candidatesCompareAllFields()
{
    const ExcludeCandidate base = candidate("x", "r", 1, 2, true);
    QList<ExcludeCandidate> variants(7, base);
    variants[0].id = "y";
    variants[1].pattern = "y";
    variants[2].reason = "s";
    variants[3].instanceCount = 3;
    variants[4].totalBytes = 3;
    variants[5].recommended = false;
    variants[6].source = ExcludeCandidate::Source::cloud;
    QSet<ExcludeCandidate> set { base, base };
    for (const ExcludeCandidate &variant : variants) {
        QVERIFY(!(variant == base));
        set.insert(variant);
    }
    QCOMPARE(set.size(), 8);
}

QTEST_GUILESS_MAIN(SmartExcludeTest)
#include "SmartExcludeTest.moc"

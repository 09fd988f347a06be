#include "ExcludeTree.h"
#include "config/Destination.h"
#include "engine/ResticEngine.h"
#include "exclude/AppDataExclude.h"
#include "exclude/CloudSync.h"
#include "exclude/Estimator.h"
#include "exclude/ExcludeEvidence.h"
#include "exclude/ExcludeMatcher.h"
#include "exclude/LibraryExclude.h"
#include "exclude/SmartExclude.h"
#include "protection/CoverageAudit.h"
#include "restore/ProposedBackup.h"
#include "util/LocalPath.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <climits>

using namespace vellmir;
using namespace vellmir::test;

// The local estimate, the matcher, the proposed-backup listing and the coverage audit against
// what the installed restic backs up, on one tree whose names need escaping, include bytes that
// are not UTF-8 and reach past the longest path the system allows. Each row is a
// `backup --dry-run` into one shared repository, with the --exclude arguments the backup itself
// builds.
class ExcludeConformanceTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void estimateCountsWhatResticBacksUp_data();
    void estimateCountsWhatResticBacksUp();
    void patternsLeaveOutWhatTheyName_data();
    void patternsLeaveOutWhatTheyName();
    void refusesThePatternsResticRefuses_data();
    void refusesThePatternsResticRefuses();

private:
    QString home(const QString &relative) const { return relative.isEmpty() ? m_home : m_home + u'/' + relative; }
    QStringList candidatePatterns(const QList<ExcludeCandidate> &candidates, const QString &folder) const;
    ResticResult dryRun(const Destination &destination, const QStringList &flags) const;

    QTemporaryDir m_dir;
    QString m_home;
    QString m_restic;
    QByteArray m_savedHome;
    QByteArray m_savedCache;
    QStringList m_files; // every file of the tree, absolute, decoded by LocalPath
    QString m_nearLongest; // a folder of the deep chain holding a file whose path is PATH_MAX long
};

namespace {

// A path as restic's JSON spells it: bytes that are not UTF-8 become U+FFFD.
QString resticSpelling(const QString &path)
{
    return QString::fromUtf8(LocalPath::encode(path));
}

} // namespace

// The home folder of the tree: "mhome" lies above the project folder that some rows back up.
static const QStringList kTree {
    "notes.txt",
    "Movies/clip.mov",
    "Movies2/b.mov",
    "Library/Caches/c.bin",
    ".local/share/App[1]/Data*/model.bin",
    ".local/share/App1/Datax/model.bin",
    ".var/app/org.x[1]/cache/c.bin",
    ".var/app/org.x[1]/cachex/c.bin",
    "Nextcloud/f.txt",
    "Nextcloudx/f.txt",
    "mhome/proj/a.log",
    "mhome/proj/app.log",
    "mhome/proj/keep.txt",
    "mhome/proj/.hidden",
    "mhome/proj/src/main.c",
    "mhome/proj/src/gen/x.c",
    "mhome/proj/src/gen/deep/y.c",
    "mhome/proj/node_modules/m/index.js",
    "mhome/proj/node_modules/m/node_modules/n/x.js",
    "mhome/proj/build/out.o",
    "mhome/proj/deep/x",
    "mhome/proj/lib/x",
    "mhome/proj/out/sub/out.o",
    "mhome/proj/br[ack]et/f.txt",
    "mhome/proj/brcet/f.txt",
    "mhome/proj/photo[1].jpg",
    "mhome/proj/photo1.jpg",
    "mhome/proj/star*.txt",
    "mhome/proj/starX.txt",
    "mhome/proj/q?.txt",
    "mhome/proj/qa.txt",
    "mhome/proj/back\\slash.txt",
    "mhome/proj/backslash.txt",
    "mhome/proj/!bang.txt",
    "mhome/proj/caf\u00e9/nfc.txt",
    "mhome/proj/cafe\u0301/nfd.txt",
    "mhome/proj/my[cache]/c.bin",
    "mhome/proj/myc/c.bin",
};

void ExcludeConformanceTest::initTestCase()
{
    const std::optional<QString> restic = ResticEngine().locateBinary();
    if (!restic)
        QSKIP("restic is not installed");
    m_restic = *restic;
    QVERIFY(m_dir.isValid());
    m_home = m_dir.path() + QStringLiteral("/home");
    // The matcher, the estimate and the backup's "~" all read $HOME.
    m_savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(m_home));
    // restic keeps its cache inside the tree, where a backup of the home folder meets it.
    m_savedCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_home + QStringLiteral("/.cache")));
    for (const QString &relative : kTree) {
        makeFile(m_home, relative, 10);
        m_files.append(home(relative));
    }
    makeFolder(m_home, QStringLiteral("links"));
    makeLink(m_home, QStringLiteral("links/src"), QStringLiteral("../mhome/proj/src"));
    // Names that are not UTF-8, one of them a cache by its name.
    const QByteArray proj = QFile::encodeName(home(QStringLiteral("mhome/proj")));
    for (const QByteArray &folder : { QByteArray("Cache\xe9"), QByteArray("caf\xe9x") }) {
        makeFileAt(proj, { folder }, "f.bin", 10);
        m_files.append(LocalPath::decode(proj + '/' + folder + "/f.bin"));
    }
    // A chain of folders whose deeper files lie past PATH_MAX, one file on every level.
    QByteArrayList chain;
    QByteArray path = QFile::encodeName(home(QStringLiteral("deep")));
    QDir().mkpath(home(QStringLiteral("deep")));
    for (int level = 0; level < 85; ++level) {
        chain.append(QByteArray::number(level).rightJustified(3, '0') + QByteArray(47, 'x'));
        path += '/' + chain.last();
        makeFileAt(QFile::encodeName(home(QStringLiteral("deep"))), chain, "f", 10);
        m_files.append(LocalPath::decode(path + "/f"));
        // Beside it, once, a file whose path is just too long: the folder can be listed.
        if (m_nearLongest.isEmpty() && path.size() + 256 > PATH_MAX) {
            const QByteArray name(PATH_MAX - path.size() - 1, 'n');
            makeFileAt(QFile::encodeName(home(QStringLiteral("deep"))), chain, name, 10);
            m_files.append(LocalPath::decode(path + '/' + name));
            m_nearLongest = LocalPath::decode(path).mid(m_home.size() + 1);
        }
    }

    // Other homes: one reached through a link, one whose name is a glob, one that is not UTF-8.
    makeLink(m_dir.path(), QStringLiteral("homelink"), QStringLiteral("home"));
    for (const QByteArray &other : { QByteArray("home[1]"), QByteArray("h\xe9") }) {
        makeFileAt(QFile::encodeName(m_dir.path()), { other, "Downloads" }, "f", 10);
        makeFileAt(QFile::encodeName(m_dir.path()), { other }, "keep", 10);
    }

    QProcess init;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RESTIC_REPOSITORY"), m_dir.path() + QStringLiteral("/repo"));
    environment.insert(QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("conformance"));
    init.setProcessEnvironment(environment);
    init.start(m_restic, { QStringLiteral("init"), QStringLiteral("--no-cache") });
    QVERIFY(init.waitForFinished(60000));
    QVERIFY2(init.exitCode() == 0, init.readAllStandardError().constData());
}

void ExcludeConformanceTest::cleanupTestCase()
{
    if (!m_restic.isEmpty()) {
        qputenv("HOME", m_savedHome);
        qputenv("XDG_CACHE_HOME", m_savedCache);
    }
}

// The patterns the detectors wrote for one folder of the tree.
QStringList ExcludeConformanceTest::candidatePatterns(
    const QList<ExcludeCandidate> &candidates, const QString &folder) const
{
    QStringList patterns;
    for (const ExcludeCandidate &candidate : candidates) {
        if (ExcludeMatcher({ candidate.pattern }).matches(home(folder), QString()))
            patterns.append(candidate.pattern);
    }
    return patterns;
}

void ExcludeConformanceTest::estimateCountsWhatResticBacksUp_data()
{
    QTest::addColumn<QStringList>("sources"); // below the home folder; "" is the home folder
    QTest::addColumn<QStringList>("excludes"); // as a destination stores them

    const QStringList proj { "mhome/proj" };
    const QStringList all { "" };
    QTest::newRow("no patterns") << proj << QStringList();
    QTest::newRow("trailing slash on a name") << proj << QStringList { "node_modules/" };
    QTest::newRow("trailing slash on build") << proj << QStringList { "build/" };
    QTest::newRow("trailing slash on a home folder") << all << QStringList { "~/Movies/" };
    QTest::newRow("home with a slash") << proj << QStringList { "~/" };
    QTest::newRow("relative with a slash") << proj << QStringList { "src/gen" };
    QTest::newRow("relative from above the source") << proj << QStringList { "proj/src/gen" };
    QTest::newRow("star slash name") << proj << QStringList { "*/x" };
    QTest::newRow("folder slash name") << proj << QStringList { "deep/x" };
    QTest::newRow("leading double star") << proj << QStringList { "**/node_modules" };
    QTest::newRow("trailing double star") << proj << QStringList { "proj/**" };
    QTest::newRow("relative Library path") << all << QStringList { "Library/Caches" };
    QTest::newRow("double star in an absolute pattern") << proj << QStringList { "~/**/out.o" };
    QTest::newRow("re-include") << proj << QStringList { "*.log", "!app.log" };
    QTest::newRow("re-include inside an excluded folder") << proj << QStringList { "node_modules", "!index.js" };
    QTest::newRow("re-include alone") << proj << QStringList { "!keep.txt" };
    QTest::newRow("exclude after re-include") << proj << QStringList { "*.txt", "!keep.txt", "keep*" };
    QTest::newRow("repeated after re-include") << proj << QStringList { "*.log", "!app.log", "*.log" };
    QTest::newRow("tidied dot dot") << all << QStringList { "~/mhome/proj/../../Movies" };
    QTest::newRow("tidied double slash") << all << QStringList { "~//Movies" };
    QTest::newRow("tidied dot") << all << QStringList { "~/./Movies", "@/./notes.txt" };
    QTest::newRow("name above the source") << proj << QStringList { "mhome" };
    QTest::newRow("location above the source") << proj << QStringList { "~/mhome" };
    QTest::newRow("class in an absolute pattern") << proj << QStringList { "~/mhome/proj/br[ack]et" };
    QTest::newRow("composed spelling") << proj << QStringList { "caf\u00e9" };
    QTest::newRow("decomposed spelling") << proj << QStringList { "cafe\u0301" };
    QTest::newRow("question mark is one character") << proj << QStringList { "caf?" };
    QTest::newRow("negated class and range") << proj << QStringList { "[^a-m]*.txt" };
    QTest::newRow("escapes typed") << proj << QStringList { "q\\?.txt", "star\\*.txt", "back\\\\slash.txt" };
    QTest::newRow("wildcards unescaped") << proj << QStringList { "photo[1].jpg", "q?.txt", "back\\slash.txt" };
    QTest::newRow("empty pattern and several sources")
        << QStringList { "mhome/proj/src", "Movies" } << QStringList { "", "gen", "*.mov" };
    QTest::newRow("excluded source with a re-included child")
        << proj << QStringList { "~/mhome/proj", "!~/mhome/proj/src" };
    QTest::newRow("re-include below an excluded folder") << proj << QStringList { "src", "!src/gen" };
    QTest::newRow("names that are not UTF-8") << proj << QStringList { "Cache\ufffd", "caf?" };
    QTest::newRow("paths longer than the system allows") << QStringList { "deep" } << QStringList {};
    QTest::newRow("a folder holding a path too long") << QStringList { m_nearLongest } << QStringList {};
    // Stored bytes reach restic as they are; read as text, "my\xe9" would be "my?" and match myc.
    QTest::newRow("stored bytes that are not UTF-8")
        << proj << QStringList { LocalPath::decode("Cache\xe9"), LocalPath::decode("my\xe9") };
    QTest::newRow("files as sources") << QStringList { "notes.txt", "mhome/proj/keep.txt" } << QStringList { "*.log" };
    QTest::newRow("link to a folder, stored with a slash") << QStringList { "links/src/" } << QStringList { "gen" };
    QTest::newRow("a link and its target") << QStringList { "links/src", "mhome/proj/src" } << QStringList {};
    QTest::newRow("a source inside another")
        << QStringList { "mhome/proj/src", "mhome/proj/src/gen" } << QStringList {};
    QTest::newRow("two double stars") << proj << QStringList { "*.c", "!~/**/src/**/*.c" };
    QTest::newRow("re-includes beside an inner source")
        << QStringList { "mhome/proj", "mhome/proj/src/gen" } << QStringList { "~/mhome/proj", "!keep.txt", "!gen" };

    // What the application writes from names must leave out exactly the one item named.
    const auto evidence = [this](const QString &relative) {
        ExcludeEvidence suggestion;
        suggestion.path = home(relative);
        return suggestion.pattern();
    };
    QTest::newRow("review suggestions") << proj
                                        << QStringList { evidence("mhome/proj/br[ack]et"),
                                               evidence("mhome/proj/my[cache]") };
    const auto explorer = [this](const QString &relative) {
        return Destination::literalPattern(Destination::tildeForm(home(relative)));
    };
    QTest::newRow("explorer choices") << proj
                                      << QStringList { explorer("mhome/proj/photo[1].jpg"),
                                             explorer("mhome/proj/q?.txt"), explorer("mhome/proj/back\\slash.txt"),
                                             explorer("mhome/proj/star*.txt"), explorer("mhome/proj/!bang.txt") };
    ExcludeDetectorProbes probes;
    probes.measure = [](const QString &) { return AppDataExclude::threshold; };
    const QByteArray savedData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(home(QStringLiteral(".local/share"))));
    const QStringList detected = candidatePatterns(CloudSync(probes).detect({ m_home }), QStringLiteral("Nextcloud"))
        + candidatePatterns(AppDataExclude(probes).detect({ m_home }), QStringLiteral(".local/share/App[1]/Data*"))
        + candidatePatterns(LibraryExclude(probes).detect({ m_home }), QStringLiteral(".var/app/org.x[1]/cache"));
    qputenv("XDG_DATA_HOME", savedData);
    QTest::newRow("cloud, app-data and home-data detectors") << all << detected;
    const QStringList cacheRule
        = candidatePatterns(SmartExclude().scan({ home(QStringLiteral("mhome/proj")) }), "mhome/proj/my[cache]")
        + QStringList { Destination::literalPattern(QStringLiteral("!bang.txt")) };
    QTest::newRow("cache folder and leading exclamation mark") << proj << cacheRule;
}

void ExcludeConformanceTest::estimateCountsWhatResticBacksUp()
{
    QFETCH(QStringList, sources);
    QFETCH(QStringList, excludes);
    excludes.replaceInStrings(QStringLiteral("@"), m_home);
    for (QString &source : sources)
        source = home(source);

    Destination destination;
    destination.sources = sources;
    destination.excludes = excludes;
    const ResticResult restic = dryRun(destination, { QStringLiteral("--json"), QStringLiteral("-vv") });
    // Errors are JSON lines on stderr.
    const QByteArray output = (restic.stdout + u'\n' + restic.stderr).toUtf8();
    // Exit 3: some source could not be read in full, as when every item of one is excluded.
    QVERIFY2(restic.exitCode == 0 || restic.exitCode == 3, qPrintable(restic.stderr));

    QStringList backedUp;
    QSet<QString> items; // files and folders
    QStringList errors; // items restic could not read
    qint64 processed = -1;
    for (const QByteArray &line : output.split('\n')) {
        const QJsonObject message = QJsonDocument::fromJson(line).object();
        const QString type = message.value(QStringLiteral("message_type")).toString();
        const QString item = message.value(QStringLiteral("item")).toString();
        if (type == QLatin1String("verbose_status") && !item.isEmpty()) {
            items.insert(item.endsWith(u'/') ? item.chopped(1) : item);
            if (!item.endsWith(u'/'))
                backedUp.append(item);
        } else if (type == QLatin1String("error")) {
            errors.append(item);
        } else if (type == QLatin1String("summary")) {
            processed = message.value(QStringLiteral("total_files_processed")).toInteger();
        }
    }

    // The matcher, item by item: a file is kept when neither it nor a folder on its way down
    // from its source is excluded, and its path is one the system lets restic reach.
    // restic walks a source inside another as part of it, and tests neither the outer one nor a
    // folder on the way down to the inner one.
    const ExcludeMatcher matcher(excludes);
    const QStringList resolved = destination.resolvedSources();
    const auto below = [](const QString &path, const QString &folder) { return path.startsWith(folder + u'/'); };
    const auto tested = [&](const QString &path) {
        return std::none_of(
            resolved.cbegin(), resolved.cend(), [&](const QString &other) { return below(other, path); });
    };
    QStringList kept;
    for (const QString &file : std::as_const(m_files)) {
        for (const QString &source : resolved) {
            if ((file != source && !below(file, source)) || LocalPath::encode(file).size() >= PATH_MAX
                || std::any_of(
                    resolved.cbegin(), resolved.cend(), [&](const QString &outer) { return below(source, outer); }))
                continue;
            bool excluded = tested(source) && matcher.matches(source, QString());
            for (qsizetype slash = file.indexOf(u'/', source.size() + 1); !excluded && slash >= 0;
                 slash = file.indexOf(u'/', slash + 1))
                excluded = tested(file.left(slash)) && matcher.matches(file.left(slash), QString());
            if (!excluded && !matcher.matches(file, QString()))
                kept.append(resticSpelling(file));
        }
    }
    backedUp.sort();
    kept.sort();
    QCOMPARE(kept, backedUp);
    QCOMPARE(Estimator::localEstimate(sources, excludes).files, processed);

    // The audit reads what restic reads and lists what restic cannot.
    const CoverageAudit audit = CoverageAudit::scan(destination);
    QCOMPARE(audit.readableFiles, processed);
    for (const QString &error : std::as_const(errors))
        QVERIFY2(std::any_of(audit.issues.cbegin(), audit.issues.cend(),
                     [&](const QString &issue) { return issue.startsWith(error + u':'); }),
            qPrintable(error));
    // The listing of each source marks excluded exactly what restic leaves out, and sizes
    // every folder it takes something from.
    for (const QString &source : std::as_const(sources)) {
        for (const BackupEntry &entry : ProposedBackup::children(source, excludes, sources)) {
            const QString path = resticSpelling(entry.path);
            QVERIFY2(entry.isExcluded != items.contains(path), qPrintable(path));
            const bool holdsFiles = std::any_of(
                backedUp.cbegin(), backedUp.cend(), [&](const QString &file) { return file.startsWith(path + u'/'); });
            QVERIFY2(!holdsFiles || entry.size > 0, qPrintable(path));
        }
    }
}

// What a pattern names stays out of the backup, whichever way the source or the home folder is
// reached, and the estimate and the audit count what restic stores.
void ExcludeConformanceTest::patternsLeaveOutWhatTheyName_data()
{
    QTest::addColumn<QByteArray>("homeName"); // the home folder, in the temporary folder
    QTest::addColumn<QStringList>("sources"); // below the home folder; "" is the home folder
    QTest::addColumn<QStringList>("excludes");
    QTest::addColumn<QStringList>("leftOut"); // below the home folder: nothing stored from there

    QTest::newRow("exclude spelt through a linked source")
        << QByteArray("home") << QStringList { "links/src" } << QStringList { "~/links/src/gen" }
        << QStringList { "mhome/proj/src/gen" };
    // Wildcards over the link's own names apply to what restic walks behind it, as its names do,
    // and so does a relative pattern that meets them.
    for (const char *pattern :
        { "~/*/src/gen", "~/l?nks/s*/gen", "~/[l]inks/src/gen", "~/links/**/gen", "links/*/gen" })
        QTest::newRow(pattern) << QByteArray("home") << QStringList { "links/src" } << QStringList { pattern }
                               << QStringList { "mhome/proj/src/gen" };
    QTest::newRow("home reached through a link")
        << QByteArray("homelink") << QStringList { "" } << QStringList { "~/Movies" }
        << QStringList { "Movies", ".cache/restic" };
    QTest::newRow("home named as a glob")
        << QByteArray("home[1]") << QStringList { "" } << QStringList { "~/Downloads" } << QStringList { "Downloads" };
    QTest::newRow("home named by bytes that are not UTF-8")
        << QByteArray("h\xe9") << QStringList { "" } << QStringList { "~/Downloads" } << QStringList { "Downloads" };
    QTest::newRow("inner source reached through a link")
        << QByteArray("home") << QStringList { "links", "links/src/gen" } << QStringList {} << QStringList {};
}

void ExcludeConformanceTest::patternsLeaveOutWhatTheyName()
{
    QFETCH(QByteArray, homeName);
    QFETCH(QStringList, sources);
    QFETCH(QStringList, excludes);
    QFETCH(QStringList, leftOut);
    const QString homeFolder = LocalPath::decode(QFile::encodeName(m_dir.path()) + '/' + homeName);
    qputenv("HOME", LocalPath::encode(homeFolder));
    qputenv("XDG_CACHE_HOME", LocalPath::encode(homeFolder + QStringLiteral("/.cache")));
    const auto restore = qScopeGuard([this] {
        qputenv("HOME", QFile::encodeName(m_home));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_home + QStringLiteral("/.cache")));
    });
    const QString resolved = Destination::resolvedSource(homeFolder);
    Destination destination;
    for (const QString &source : std::as_const(sources))
        destination.sources.append(source.isEmpty() ? homeFolder : homeFolder + u'/' + source);
    destination.excludes = excludes;
    // The cache exists before the run that would store it. Exit 3: paths too long to read.
    QVERIFY(dryRun(destination, {}).exitCode != 1);
    const ResticResult restic = dryRun(destination, { QStringLiteral("--json"), QStringLiteral("-vv") });
    QVERIFY2(restic.exitCode == 0 || restic.exitCode == 3, qPrintable(restic.stderr));
    qint64 processed = -1;
    for (const QString &line : restic.stdout.split(u'\n')) {
        const QJsonObject message = QJsonDocument::fromJson(line.toUtf8()).object();
        const QString item = message.value(QStringLiteral("item")).toString();
        for (const QString &folder : std::as_const(leftOut)) {
            const QString path = resticSpelling(resolved + u'/' + folder);
            QVERIFY2(item != path && !item.startsWith(path + u'/'), qPrintable(item));
        }
        if (message.value(QStringLiteral("message_type")).toString() == QLatin1String("summary"))
            processed = message.value(QStringLiteral("total_files_processed")).toInteger();
    }
    QVERIFY(processed > 0);
    QCOMPARE(Estimator::localEstimate(destination.sources, excludes).files, processed);
    QCOMPARE(CoverageAudit::scan(destination).readableFiles, processed);
}

void ExcludeConformanceTest::refusesThePatternsResticRefuses_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("resticRefuses");
    QTest::addColumn<bool>("taken");
    for (const char *bad : { "[", "[]", "[a-", "a\\", "[a-]", "[^]", "[]a]", "x/[/y", "![", "~/[", "a\\/b" })
        QTest::newRow(bad) << QString::fromUtf8(bad) << true << false;
    for (const char *good : { "[ab]", "\\[", "]", "!x", "**", "[\\]]", "[^a-z]*", "[/.." })
        QTest::newRow(good) << QString::fromUtf8(good) << false << true;
    // restic takes these and gives up where a name reaches their malformed part: refused here,
    // in words that say the rule is this program's.
    for (const char *odd : { "\\**[", "[a]*[", "\\a*\\" })
        QTest::newRow(odd) << QString::fromUtf8(odd) << false << false;
    // A stored byte that is not UTF-8 is no character of a class, but is one of a name.
    QTest::newRow("[\\xe9]") << LocalPath::decode("[\xe9]") << true << false;
    QTest::newRow("caf\\xe9") << LocalPath::decode("caf\xe9") << false << true;
}

void ExcludeConformanceTest::refusesThePatternsResticRefuses()
{
    QFETCH(QString, pattern);
    QFETCH(bool, resticRefuses);
    QFETCH(bool, taken);
    Destination destination;
    destination.sources = { home(QStringLiteral("notes.txt")) };
    destination.excludes = { pattern };
    QCOMPARE(dryRun(destination, {}).stderr.contains(QStringLiteral("invalid pattern")), resticRefuses);
    const std::optional<QString> refusal = ExcludeMatcher::refusal(pattern);
    QCOMPARE(!refusal.has_value(), taken);
    if (refusal)
        QCOMPARE(refusal->startsWith(QStringLiteral("restic cannot use")), resticRefuses);
}

// restic, given exactly what a backup of this destination passes, file names as their own bytes.
ResticResult ExcludeConformanceTest::dryRun(const Destination &destination, const QStringList &flags) const
{
    ResticCommand command(QStringLiteral("backup"));
    command.flag(QStringLiteral("--dry-run")).options(flags);
    command.options(destination.excludeArguments()).positionals(destination.resolvedSources());
    const ResticEnvironment environment { { QStringLiteral("RESTIC_REPOSITORY"),
                                              m_dir.path() + QStringLiteral("/repo") },
        { QStringLiteral("RESTIC_PASSWORD"), QStringLiteral("conformance") } };
    return ResticEngine(m_restic, m_dir.path() + QStringLiteral("/locks")).run(command, environment);
}

QTEST_GUILESS_MAIN(ExcludeConformanceTest)
#include "ExcludeConformanceTest.moc"

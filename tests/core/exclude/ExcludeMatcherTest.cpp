#include "exclude/ExcludeMatcher.h"

#include "TestSupport.h"

#include <QtTest>

using namespace vellmir;

class ExcludeMatcherTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void matchesLikeRestic_data();
    void matchesLikeRestic();
    void directoryFlagIsIgnored();
    void firstOfSeveralPatternsDecides();
    void preparesPatternsWithoutDroppingOrAdding();
    void homeComesFromEnvironment();
    void locationComparesComposedCharacters();
    void questionMarkMatchesOneCharacterWhateverTheLocale();
};

void ExcludeMatcherTest::matchesLikeRestic_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("excluded");

    QTest::newRow("name at depth") << "node_modules"
                                   << "/Users/a/p/node_modules" << true;
    QTest::newRow("name below home") << "node_modules"
                                     << "/Users/a/node_modules" << true;
    QTest::newRow("name inside the path only") << "node_modules"
                                               << "/Users/a/node_modules/x" << false;
    QTest::newRow("glob name") << "*.log"
                               << "/x/y/app.log" << true;
    QTest::newRow("glob name, suffix after") << "*.log"
                                             << "/x/y/app.log.1" << false;
    QTest::newRow("location itself") << "/Users/a/Movies"
                                     << "/Users/a/Movies" << true;
    QTest::newRow("below location") << "/Users/a/Movies"
                                    << "/Users/a/Movies/clip.mov" << true;
    QTest::newRow("location sibling with longer name") << "/Users/a/Movies"
                                                       << "/Users/a/Movies2" << false;
    QTest::newRow("wildcard location") << "/Users/a/*/Caches"
                                       << "/Users/a/Library/Caches" << true;
    QTest::newRow("wildcard location, below") << "/Users/a/*/Caches"
                                              << "/Users/a/Library/Caches/x" << false;
    QTest::newRow("star does not cross slash") << "/Users/a/*/Caches"
                                               << "/Users/a/b/c/Caches" << false;
    QTest::newRow("double star is one component") << "/Users/a/**"
                                                  << "/Users/a/x" << true;
    QTest::newRow("double star is not recursive") << "/Users/a/**"
                                                  << "/Users/a/x/y" << false;
    QTest::newRow("wildcard in location is literal in prefix test") << "/Users/a/M*"
                                                                    << "/Users/a/M*/f" << true;
    QTest::newRow("relative with trailing slash") << "build/"
                                                  << "/Users/a/build" << false;
    QTest::newRow("relative with slash") << "src/gen"
                                         << "/Users/a/src/gen" << false;
    QTest::newRow("star slash x at root") << "*/x"
                                          << "/x" << true;
    QTest::newRow("star slash x deeper") << "*/x"
                                         << "/a/x" << false;
    QTest::newRow("empty pattern") << ""
                                   << "/Users/a/f" << false;
    QTest::newRow("tilde is home") << "~"
                                   << "/Users/a" << true;
    QTest::newRow("tilde covers below home") << "~"
                                             << "/Users/a/p/q" << true;
    QTest::newRow("tilde slash path") << "~/Downloads"
                                      << "/Users/a/Downloads/f" << true;
    QTest::newRow("tilde user not expanded") << "~other/x"
                                             << "/Users/other/x" << false;
    QTest::newRow("tilde user literal name elsewhere") << "~other/x"
                                                       << "/Users/a/x" << false;
    QTest::newRow("tilde slash alone, spelled with slash") << "~/"
                                                           << "/Users/a/" << true;
    QTest::newRow("tilde slash alone, item path") << "~/"
                                                  << "/Users/a/f" << false;
    QTest::newRow("location with trailing slash") << "/Users/a/Movies/"
                                                  << "/Users/a/Movies/clip.mov" << false;
    QTest::newRow("case-sensitive") << "Cache"
                                    << "/Users/a/cache" << false;
    QTest::newRow("leading dot by name") << ".DS_Store"
                                         << "/Users/a/.DS_Store" << true;
    QTest::newRow("star matches leading dot") << "*"
                                              << "/Users/a/.DS_Store" << true;
    QTest::newRow("escaped star, other name") << "\\*"
                                              << "/Users/a/x" << false;
    QTest::newRow("escaped star, star name") << "\\*"
                                             << "/Users/a/*" << true;
    QTest::newRow("bracket expression") << "[ab].txt"
                                        << "/d/b.txt" << true;
    QTest::newRow("bracket expression miss") << "[ab].txt"
                                             << "/d/c.txt" << false;
    QTest::newRow("question mark") << "?.txt"
                                   << "/d/c.txt" << true;
    QTest::newRow("no white space trimmed") << " node_modules"
                                            << "/d/node_modules" << false;
    QTest::newRow("number sign is a character") << "#x"
                                                << "/d/#x" << true;
    QTest::newRow("exclamation mark is a character") << "!x"
                                                     << "/d/x" << false;
    QTest::newRow("variables not expanded") << "$HOME/x"
                                            << "/Users/a/x" << false;
}

void ExcludeMatcherTest::matchesLikeRestic()
{
    QFETCH(QString, pattern);
    QFETCH(QString, path);
    QFETCH(bool, excluded);
    const ExcludeMatcher matcher({ pattern }, QStringLiteral("/Users/a"));
    const QString name = path.endsWith(u'/') ? QString() : path.section(u'/', -1);
    QCOMPARE(matcher.matches(path, name, false), excluded);
}

void ExcludeMatcherTest::directoryFlagIsIgnored()
{
    const ExcludeMatcher matcher({ QStringLiteral("node_modules") }, QStringLiteral("/Users/a"));
    QVERIFY(matcher.matches(QStringLiteral("/p/node_modules"), QStringLiteral("node_modules"), false));
    QVERIFY(matcher.matches(QStringLiteral("/p/node_modules"), QStringLiteral("node_modules"), true));
}

void ExcludeMatcherTest::firstOfSeveralPatternsDecides()
{
    const ExcludeMatcher matcher(
        { QStringLiteral("build/"), QString(), QStringLiteral("*.tmp"), QStringLiteral("/data/keep") },
        QStringLiteral("/home/u"));
    QVERIFY(matcher.matches(QStringLiteral("/x/a.tmp"), QStringLiteral("a.tmp")));
    QVERIFY(matcher.matches(QStringLiteral("/data/keep/deep/file"), QStringLiteral("file")));
    QVERIFY(!matcher.matches(QStringLiteral("/data/keeper"), QStringLiteral("keeper")));
    QVERIFY(!ExcludeMatcher({}, QStringLiteral("/home/u")).matches(QStringLiteral("/x"), QStringLiteral("x")));
}

void ExcludeMatcherTest::preparesPatternsWithoutDroppingOrAdding()
{
    const ExcludeMatcher matcher(
        { QStringLiteral("~"), QStringLiteral("~/Library/Caches"), QString(), QStringLiteral("x"), QStringLiteral("x"),
            QStringLiteral("~other"), QStringLiteral(" ~/a") },
        QStringLiteral("/home/u/"));
    QCOMPARE(matcher.patterns(),
        (QStringList { QStringLiteral("/home/u"), QStringLiteral("/home/u/Library/Caches"), QString(),
            QStringLiteral("x"), QStringLiteral("x"), QStringLiteral("~other"), QStringLiteral(" ~/a") }));
}

void ExcludeMatcherTest::homeComesFromEnvironment()
{
    test::TestHome home;
    const ExcludeMatcher matcher({ QStringLiteral("~/Downloads") });
    QVERIFY(matcher.matches(home.path() + QStringLiteral("/Downloads/f"), QStringLiteral("f")));
    QVERIFY(!matcher.matches(QStringLiteral("/elsewhere/Downloads/f"), QStringLiteral("f")));
}

void ExcludeMatcherTest::locationComparesComposedCharacters()
{
    const QString precomposed = QStringLiteral("/data/caf\u00e9");
    const QString decomposed = QStringLiteral("/data/cafe\u0301");
    QVERIFY(ExcludeMatcher({ precomposed }, QStringLiteral("/h")).matches(decomposed + QStringLiteral("/x"), "x"));
    QVERIFY(ExcludeMatcher({ decomposed }, QStringLiteral("/h")).matches(precomposed, QStringLiteral("caf\u00e9")));
    QVERIFY(!ExcludeMatcher({ precomposed }, QStringLiteral("/h")).matches(QStringLiteral("/data/cafe"), "cafe"));
}

void ExcludeMatcherTest::questionMarkMatchesOneCharacterWhateverTheLocale()
{
    const QByteArray saved = setlocale(LC_CTYPE, nullptr);
    setlocale(LC_CTYPE, "C");
    const ExcludeMatcher matcher({ QStringLiteral("caf?") }, QStringLiteral("/h"));
    const bool matched = matcher.matches(QStringLiteral("/d/caf\u00e9"), QStringLiteral("caf\u00e9"));
    setlocale(LC_CTYPE, saved.constData());
    QVERIFY(matched);
}

QTEST_GUILESS_MAIN(ExcludeMatcherTest)
#include "ExcludeMatcherTest.moc"

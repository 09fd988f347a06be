#include "exclude/ExcludeMatcher.h"

#include "TestSupport.h"

#include <QtTest>

using namespace vellmir;

class ExcludeMatcherTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void matchesByNameOrLocation_data();
    void matchesByNameOrLocation();
    void directoryFlagIsIgnored();
    void lastMatchingPatternDecides();
    void preparesPatternsWithoutDroppingOrAdding();
    void homeComesFromEnvironment();
    void locationComparesBytes();
    void questionMarkMatchesOneCharacterWhateverTheLocale();
};

void ExcludeMatcherTest::matchesByNameOrLocation_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("excluded");

    QTest::newRow("name at depth") << "node_modules"
                                   << "/Users/a/p/node_modules" << true;
    QTest::newRow("name below home") << "node_modules"
                                     << "/Users/a/node_modules" << true;
    QTest::newRow("name above the item") << "node_modules"
                                         << "/Users/a/node_modules/x" << true;
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
                                              << "/Users/a/Library/Caches/x" << true;
    QTest::newRow("star does not cross slash") << "/Users/a/*/Caches"
                                               << "/Users/a/b/c/Caches" << false;
    QTest::newRow("double star below a location") << "/Users/a/**"
                                                  << "/Users/a/x" << true;
    QTest::newRow("double star is recursive") << "/Users/a/**"
                                              << "/Users/a/x/y" << true;
    QTest::newRow("double star covers the location itself") << "/Users/a/**"
                                                            << "/Users/a" << true;
    QTest::newRow("double star inside a location") << "/Users/a/**/out.o"
                                                   << "/Users/a/p/q/out.o" << true;
    QTest::newRow("double star, other location") << "/Users/a/**/out.o"
                                                 << "/Users/b/out.o" << false;
    // restic lets each "**" end only where as many components follow as the pattern has parts.
    QTest::newRow("two double stars, too little left after the first") << "/h/**/src/**/*.c"
                                                                       << "/h/a/b/src/main.c" << false;
    QTest::newRow("two double stars, room after each") << "/h/**/src/**/*.c"
                                                       << "/h/a/b/src/x/y.c" << true;
    // Many "**" against a deep path must not backtrack through every split of it.
    QTest::newRow("many double stars, deep path")
        << QString("/b/" + QString("**/a/").repeated(12) + "**") << QString("/a").repeated(60) << false;
    QTest::newRow("many double stars, deep match")
        << QString("**/**/" + QString("a/**/").repeated(12) + "c") << QString("/a").repeated(60) + "/c" << true;
    QTest::newRow("leading double star") << "**/node_modules"
                                         << "/p/node_modules/x" << true;
    QTest::newRow("trailing double star") << "proj/**"
                                          << "/h/proj" << true;
    QTest::newRow("wildcard in location") << "/Users/a/M*"
                                          << "/Users/a/Movies/f" << true;
    QTest::newRow("class in location") << "/h/br[ack]et"
                                       << "/h/brcet" << true;
    QTest::newRow("class in location, bracket name") << "/h/br[ack]et"
                                                     << "/h/br[ack]et" << false;
    QTest::newRow("relative with trailing slash") << "build/"
                                                  << "/Users/a/build" << true;
    QTest::newRow("relative with slash") << "src/gen"
                                         << "/Users/a/src/gen/f" << true;
    QTest::newRow("relative with slash, other parent") << "src/gen"
                                                       << "/Users/a/lib/gen" << false;
    QTest::newRow("star slash x needs a parent") << "*/x"
                                                 << "/x" << false;
    QTest::newRow("star slash x deeper") << "*/x"
                                         << "/a/x" << true;
    QTest::newRow("tidied dot dot") << "/Users/a/p/../Movies"
                                    << "/Users/a/Movies/c" << true;
    QTest::newRow("tidied double slash") << "/Users/a//Movies"
                                         << "/Users/a/Movies" << true;
    QTest::newRow("tidied dot") << "/Users/a/./Movies"
                                << "/Users/a/Movies" << true;
    QTest::newRow("path tidied too") << "/Users/a/Movies"
                                     << "/Users/a/x/../Movies/" << true;
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
                                                  << "/Users/a/f" << true;
    QTest::newRow("location with trailing slash") << "/Users/a/Movies/"
                                                  << "/Users/a/Movies/clip.mov" << true;
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
    QTest::newRow("caret negates a class") << "[^ab].txt"
                                           << "/d/c.txt" << true;
    QTest::newRow("exclamation mark in a class is a member") << "[!a].txt"
                                                             << "/d/c.txt" << false;
    QTest::newRow("unclosed class matches nothing") << "[a"
                                                    << "/d/[a" << false;
    QTest::newRow("trailing backslash matches nothing") << "a\\"
                                                        << "/d/a\\" << false;
    QTest::newRow("question mark") << "?.txt"
                                   << "/d/c.txt" << true;
    QTest::newRow("no white space trimmed") << " node_modules"
                                            << "/d/node_modules" << false;
    QTest::newRow("number sign is a character") << "#x"
                                                << "/d/#x" << true;
    QTest::newRow("re-include alone excludes nothing") << "!x"
                                                       << "/d/x" << false;
    QTest::newRow("escaped exclamation mark") << "\\!x"
                                              << "/d/!x" << true;
    QTest::newRow("variables not expanded") << "$HOME/x"
                                            << "/Users/a/x" << false;
}

void ExcludeMatcherTest::matchesByNameOrLocation()
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

void ExcludeMatcherTest::lastMatchingPatternDecides()
{
    const ExcludeMatcher matcher(
        { QStringLiteral("build/"), QString(), QStringLiteral("*.tmp"), QStringLiteral("/data/keep") },
        QStringLiteral("/home/u"));
    QVERIFY(matcher.matches(QStringLiteral("/x/a.tmp"), QStringLiteral("a.tmp")));
    QVERIFY(matcher.matches(QStringLiteral("/data/keep/deep/file"), QStringLiteral("file")));
    QVERIFY(!matcher.matches(QStringLiteral("/data/keeper"), QStringLiteral("keeper")));
    QVERIFY(!ExcludeMatcher({}, QStringLiteral("/home/u")).matches(QStringLiteral("/x"), QStringLiteral("x")));

    const ExcludeMatcher reinclude(
        { QStringLiteral("*.log"), QStringLiteral("!app.log"), QStringLiteral("/d/x") }, QStringLiteral("/home/u"));
    QVERIFY(reinclude.matches(QStringLiteral("/d/b.log"), QStringLiteral("b.log")));
    QVERIFY(!reinclude.matches(QStringLiteral("/d/app.log"), QStringLiteral("app.log")));
    QVERIFY(reinclude.matches(QStringLiteral("/d/x/app.log"), QStringLiteral("app.log")));

    // A re-include names a folder of the home as an exclude does.
    const ExcludeMatcher home({ QStringLiteral("~/d"), QStringLiteral("!~/d/keep") }, QStringLiteral("/home/u"));
    QVERIFY(home.matches(QStringLiteral("/home/u/d/other"), QStringLiteral("other")));
    QVERIFY(!home.matches(QStringLiteral("/home/u/d/keep"), QStringLiteral("keep")));
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
    // A home of "/" is handed to restic as "/", which leaves out everything.
    QVERIFY(ExcludeMatcher({ QStringLiteral("~") }, QStringLiteral("/")).matches(QStringLiteral("/etc/x"), "x"));
}

void ExcludeMatcherTest::homeComesFromEnvironment()
{
    test::TestHome home;
    const ExcludeMatcher matcher({ QStringLiteral("~/Downloads") });
    QVERIFY(matcher.matches(home.path() + QStringLiteral("/Downloads/f"), QStringLiteral("f")));
    QVERIFY(!matcher.matches(QStringLiteral("/elsewhere/Downloads/f"), QStringLiteral("f")));
}

void ExcludeMatcherTest::locationComparesBytes()
{
    const QString precomposed = QStringLiteral("/data/caf\u00e9");
    const QString decomposed = QStringLiteral("/data/cafe\u0301");
    QVERIFY(!ExcludeMatcher({ precomposed }, QStringLiteral("/h")).matches(decomposed + QStringLiteral("/x"), "x"));
    QVERIFY(!ExcludeMatcher({ decomposed }, QStringLiteral("/h")).matches(precomposed, QStringLiteral("caf\u00e9")));
    QVERIFY(ExcludeMatcher({ precomposed }, QStringLiteral("/h")).matches(precomposed + QStringLiteral("/x"), "x"));
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

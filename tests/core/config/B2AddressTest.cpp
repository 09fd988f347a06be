#include "config/B2Address.h"
#include "TestSupport.h"

#include <QtTest>

using namespace vellmir;

class B2AddressTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void componentsSplitAtTheFirstTwoColons_data()
    {
        QTest::addColumn<QString>("repository");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("bucket");
        QTest::addColumn<QString>("folder");

        test::dataRow("plain", "b2:photos:restic", true, "photos", "restic");
        test::dataRow("folder keeps further colons", "b2:bucket:a:b", true, "bucket", "a:b");
        test::dataRow("empty pieces count", "b2::", true, "", "");
        test::dataRow("no second colon", "b2:bucket", false, "", "");
        test::dataRow("upper-case scheme", "B2:bucket:restic", false, "", "");
        test::dataRow("leading space", " b2:bucket:restic", false, "", "");
        test::dataRow("sftp with two colons", "sftp:host:/srv/restic", false, "", "");
        test::dataRow("empty", "", false, "", "");
    }
    void componentsSplitAtTheFirstTwoColons()
    {
        QFETCH(QString, repository);
        QFETCH(bool, accepted);
        const std::optional<B2Address::Components> parts = B2Address::components(repository);
        QCOMPARE(parts.has_value(), accepted);
        if (accepted) {
            QFETCH(QString, bucket);
            QFETCH(QString, folder);
            QCOMPARE(parts->bucket, bucket);
            QCOMPARE(parts->folder, folder);
        }
    }

    void composeCleansBucketAndFolder_data()
    {
        QTest::addColumn<QString>("bucket");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("repository");

        test::dataRow("empty", "", "", "b2::");
        test::dataRow("bucket inner spaces go, folder inner spaces stay", " my bucket ", "  my folder  ",
            "b2:mybucket:my folder");
        test::dataRow("bucket loses colons and every kind of white space",
            QStringLiteral("a:b\tc\u00A0d\u2028e\u3000f\r\ng\u0085h"), "x", "b2:abcdefgh:x");
        // Line separator inside, tabs around: the separator goes, then the tabs are trimmed.
        test::dataRow(
            "folder with line separator and tabs", "b", QStringLiteral("\t\tmac\u2028book\t"), "b2:b:macbook");
        test::dataRow("folder loses every line break", "b", QStringLiteral("a\nb\rc\r\nd\u000Be\u000Cf\u0085g\u2029h"),
            "b2:b:abcdefgh");
        test::dataRow(
            "trim follows the removal of a trailing break", "b", QStringLiteral(" \tdata\t\u2029"), "b2:b:data");
        test::dataRow("folder trims no-break and ideographic spaces", "b",
            QStringLiteral("\u00A0\u3000my\u00A0data\u2003"), QStringLiteral("b2:b:my\u00A0data"));
        // A combining mark on a space belongs to it and goes with it.
        test::dataRow("space with combining mark in bucket", QStringLiteral("my \u0301bucket"), "f", "b2:mybucket:f");
        test::dataRow("emoji stay", QStringLiteral("\U0001F4BE"), QStringLiteral("\U0001F600 x"),
            QStringLiteral("b2:\U0001F4BE:\U0001F600 x"));
    }
    void composeCleansBucketAndFolder()
    {
        QFETCH(QString, bucket);
        QFETCH(QString, folder);
        QFETCH(QString, repository);
        QCOMPARE(B2Address::compose(bucket, folder), repository);
    }

    void settingTheBucket_data()
    {
        QTest::addColumn<QString>("entered");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("repository");

        test::dataRow("keeps the current folder", "photos", "b2:old:macbook", "b2:photos:macbook");
        test::dataRow("keeps a folder with colons", "new", "b2:old:a:b", "b2:new:a:b");
        test::dataRow("empty bucket", "", "b2:old:f", "b2::f");
        test::dataRow("from s3", "new", "s3:s3.amazonaws.com/bucket", "b2:new:restic");
        test::dataRow("from sftp", "new", "sftp:host:/srv/restic", "b2:new:restic");
        test::dataRow("pasted address", "b2:pasted:folder", "b2:old:mine", "b2:pasted:folder");
        test::dataRow("pasted address with surrounding space", QStringLiteral(" \tb2:pasted:my folder \n"),
            "b2:old:mine", "b2:pasted:my folder");
        test::dataRow("pasted address is cleaned", "b2:my bucket:\tf\t", "s3:x", "b2:mybucket:f");
        test::dataRow("b2 and bucket only is a bucket", "b2:bucket", "b2:old:mine", "b2:b2bucket:mine");
        test::dataRow("upper-case scheme is a bucket", "B2:x:y", "b2:old:mine", "b2:B2xy:mine");
    }
    void settingTheBucket()
    {
        QFETCH(QString, entered);
        QFETCH(QString, current);
        QFETCH(QString, repository);
        QCOMPARE(B2Address::repository(entered, current), repository);
    }
};

QTEST_GUILESS_MAIN(B2AddressTest)
#include "B2AddressTest.moc"

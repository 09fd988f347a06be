#include "kit/Format.h"

#include <QTest>

using namespace vellmir;

class FormatTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void countsTakeAnSUnlessOne_data();
    void countsTakeAnSUnlessOne();
    void bytesInFileStyle_data();
    void bytesInFileStyle();
    void bytesFollowTheLocaleSeparators();
    void datesInTheLocale_data();
    void datesInTheLocale();
    void dollarsInTheLocale_data();
    void dollarsInTheLocale();
};

void FormatTest::countsTakeAnSUnlessOne_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << qint64(0) << "0 folders";
    QTest::newRow("one") << qint64(1) << "1 folder";
    QTest::newRow("two") << qint64(2) << "2 folders";
    QTest::newRow("no grouping") << qint64(1234567) << "1234567 folders";
    QTest::newRow("minus one") << qint64(-1) << "-1 folders";
}

void FormatTest::countsTakeAnSUnlessOne()
{
    QFETCH(qint64, value);
    QFETCH(QString, expected);
    QCOMPARE(Format::counted(value, QStringLiteral("folder")), expected);
}

void FormatTest::bytesInFileStyle_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << qint64(0) << "Zero KB";
    QTest::newRow("one byte") << qint64(1) << "1 byte";
    QTest::newRow("bytes") << qint64(999) << "999 bytes";
    QTest::newRow("kilo") << qint64(1000) << "1 KB";
    QTest::newRow("kilo rounds whole") << qint64(1500) << "2 KB";
    QTest::newRow("kilo rolls into mega") << qint64(999999) << "1 MB";
    QTest::newRow("mega one digit") << qint64(1500000) << "1.5 MB";
    QTest::newRow("mega drops zero") << qint64(2000000) << "2 MB";
    QTest::newRow("giga two digits") << qint64(1234567890) << "1.23 GB";
    QTest::newRow("giga one digit left") << qint64(1200000000) << "1.2 GB";
    QTest::newRow("tera") << qint64(3450000000000) << "3.45 TB";
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "9.22 EB";
    QTest::newRow("negative") << qint64(-1500000) << "-1.5 MB";
    QTest::newRow("smallest") << std::numeric_limits<qint64>::min() << "-9.22 EB";
}

void FormatTest::bytesInFileStyle()
{
    QFETCH(qint64, value);
    QFETCH(QString, expected);
    QCOMPARE(Format::bytes(value, QLocale(QLocale::English, QLocale::UnitedStates)), expected);
}

void FormatTest::bytesFollowTheLocaleSeparators()
{
    QCOMPARE(Format::bytes(1500000, QLocale(QLocale::German, QLocale::Germany)), QStringLiteral("1,5 MB"));
    QCOMPARE(Format::bytes(1000000, QLocale(QLocale::German, QLocale::Germany)), QStringLiteral("1 MB"));
}

void FormatTest::datesInTheLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("abbreviated");
    // 2026-01-02 15:04:05 UTC; the tests run with TZ=UTC.
    QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << "Jan 2, 2026 3:04 PM";
    QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << "2. Jan. 2026 15:04";
    QTest::newRow("fr_FR") << QLocale(QLocale::French, QLocale::France) << "2 janv. 2026 15:04";
    QTest::newRow("C") << QLocale::c() << "2 Jan 2026 15:04";
}

void FormatTest::datesInTheLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QString, abbreviated);
    const Date date = Date::fromUnix(QDateTime(QDate(2026, 1, 2), QTime(15, 4, 5), Qt::UTC).toSecsSinceEpoch());
    QCOMPARE(Format::dateTime(date, locale), abbreviated);
}

void FormatTest::dollarsInTheLocale_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<double>("amount");
    QTest::addColumn<QString>("expected");
    QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << 1234.5 << "$1,234.50";
    QTest::newRow("en_US cents round") << QLocale(QLocale::English, QLocale::UnitedStates) << 0.005 << "$0.01";
    QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << 1234.5 << "1.234,50\u00a0$";
    QTest::newRow("C") << QLocale::c() << 1.06 << "$1.06";
    QTest::newRow("C.UTF-8 millions") << QLocale(QStringLiteral("C.UTF-8")) << 2000000.0 << "$2,000,000.00";
}

void FormatTest::dollarsInTheLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(double, amount);
    QFETCH(QString, expected);
    QCOMPARE(Format::dollars(amount, locale), expected);
}

QTEST_GUILESS_MAIN(FormatTest)
#include "FormatTest.moc"

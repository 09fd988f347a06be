#include "util/Date.h"
#include "TestSupport.h"

#include <QtTest>

using namespace vellmir;

class DateTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void referenceDateIsZero()
    {
        QCOMPARE(Date::fromIso8601(QStringLiteral("2001-01-01T00:00:00Z"))->seconds, 0.0);
        QCOMPARE(Date { 0 }.iso8601(), QStringLiteral("2001-01-01T00:00:00Z"));
        QCOMPARE(Date { -1 }.iso8601(), QStringLiteral("2000-12-31T23:59:59Z"));
    }

    void iso8601DropsFractionsAndReadsOnlyItsOwnForm()
    {
        const Date d { 789012345.75 };
        QCOMPARE(d.iso8601(), QStringLiteral("2026-01-02T02:05:45Z"));
        QCOMPARE(Date::fromIso8601(d.iso8601())->seconds, 789012345.0);
        QVERIFY(!Date::fromIso8601(QStringLiteral("2026-01-02T02:05:45.5Z")));
        QVERIFY(!Date::fromIso8601(QStringLiteral("2026-01-02T02:05:45+00:00")));
        QVERIFY(!Date::fromIso8601(QStringLiteral("2026-02-30T02:05:45Z")));
        QVERIFY(!Date::fromIso8601(QStringLiteral("")));
    }

    void rfc3339AsResticPrintsIt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("unix");
        QTest::newRow("nine digits, offset") << "2025-01-01T10:00:00.123456789+01:00" << 1735722000.123456789;
        QTest::newRow("no fraction, Z") << "2025-01-01T09:00:00Z" << 1735722000.0;
        QTest::newRow("one digit, negative offset") << "2025-01-01T04:30:00.5-04:30" << 1735722000.5;
        QTest::newRow("leap day") << "2024-02-29T00:00:00Z" << 1709164800.0;
    }

    void rfc3339AsResticPrintsIt()
    {
        QFETCH(QString, text);
        QFETCH(double, unix);
        const std::optional<Date> date = Date::fromRfc3339(text);
        QVERIFY(date);
        QVERIFY2(qAbs(date->toUnix() - unix) < 1e-6, qPrintable(QString::number(date->toUnix(), 'f', 9)));
    }

    void rfc3339RejectsMalformedTimes_data()
    {
        QTest::addColumn<QString>("text");
        test::dataRow("ten digits", "2025-01-01T10:00:00.1234567890Z");
        test::dataRow("empty fraction", "2025-01-01T10:00:00.Z");
        test::dataRow("no zone", "2025-01-01T10:00:00");
        test::dataRow("short offset", "2025-01-01T10:00:00+01");
        test::dataRow("trailing", "2025-01-01T10:00:00Zx");
        test::dataRow("bad month", "2025-13-01T10:00:00Z");
    }

    void rfc3339RejectsMalformedTimes()
    {
        QFETCH(QString, text);
        QVERIFY(!Date::fromRfc3339(text));
    }

    void orderingAndArithmetic()
    {
        const Date a { 10 };
        QVERIFY(a < a.addingSeconds(1));
        QCOMPARE(a.addingSeconds(5).secondsSince(a), 5.0);
        QCOMPARE(Date::fromDateTime(a.toDateTime()), a);
    }
};

QTEST_GUILESS_MAIN(DateTest)
#include "DateTest.moc"

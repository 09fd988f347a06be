#include "util/Json.h"
#include "TestSupport.h"

#include <QtTest>

using namespace vellmir;

class JsonTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void integersMustBeIntegralAndFit64Bits_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<qint64>("value");
        test::dataRow("max", QByteArray(R"({"n":9223372036854775807})"), true, std::numeric_limits<qint64>::max());
        test::dataRow("min", QByteArray(R"({"n":-9223372036854775808})"), true, std::numeric_limits<qint64>::min());
        QTest::newRow("too big") << QByteArray(R"({"n":9223372036854775808})") << false << qint64(0);
        QTest::newRow("fraction") << QByteArray(R"({"n":1.5})") << false << qint64(0);
        QTest::newRow("integral double") << QByteArray(R"({"n":3.0})") << true << qint64(3);
        QTest::newRow("text") << QByteArray(R"({"n":"3"})") << false << qint64(0);
        QTest::newRow("bool") << QByteArray(R"({"n":true})") << false << qint64(0);
    }

    void integersMustBeIntegralAndFit64Bits()
    {
        QFETCH(QByteArray, document);
        QFETCH(bool, ok);
        QFETCH(qint64, value);
        const JsonReader reader(json::parseObject(document));
        if (ok) {
            QCOMPARE(reader.integer(QStringLiteral("n")), value);
        } else {
            QVERIFY_THROWS_EXCEPTION(JsonError, reader.integer(QStringLiteral("n")));
        }
    }

    void repeatedKeyIsFound_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QByteArray>("found"); // path, first and second value as compact JSON; empty: none
        test::dataRow("none", QByteArray("{\"a\":\"{\\\"a\\\":1,\",\"b\":[{\"a\":2}],\"c\":{\"a\":3}}"), QByteArray());
        test::dataRow("spelt with an escape", QByteArray("{\"a\" : \"x\", \"\\u0061\" : [1, 2]}"),
            QByteArray(R"([["a"],"x",[1,2]])"));
        test::dataRow("inside a list", QByteArray(R"({"p":[0,{"k":{},"q":1,"k":null}]})"),
            QByteArray(R"([["p",1,"k"],{},null])"));
        test::dataRow("outer one written after an inner one", QByteArray(R"({"p":{"k":1,"k":2},"p":"x"})"),
            QByteArray(R"([["p"],{"k":2},"x"])"));
    }

    void repeatedKeyIsFound()
    {
        QFETCH(QByteArray, document);
        QFETCH(QByteArray, found);
        const std::optional<json::RepeatedKey> repeated = json::repeatedKey(document);
        QCOMPARE(
            repeated ? json::compact(QJsonArray { repeated->path, repeated->first, repeated->second }) : QByteArray(),
            found);
    }

    void nullCountsAsMissing()
    {
        const JsonReader reader(json::parseObject(R"({"a":null,"b":"x"})"));
        QVERIFY(!reader.has(QStringLiteral("a")));
        QVERIFY(!reader.optionalString(QStringLiteral("a")));
        QCOMPARE(reader.optionalString(QStringLiteral("b")), QStringLiteral("x"));
        try {
            reader.string(QStringLiteral("a"));
            QFAIL("expected an error");
        } catch (const JsonError &error) {
            QCOMPARE(error.message(), QStringLiteral("The key \"a\" is missing."));
        }
        // A present key with the wrong type is an error even for optional reads.
        QVERIFY_THROWS_EXCEPTION(JsonError, reader.optionalBoolean(QStringLiteral("b")));
    }

    void notJsonIsAnError()
    {
        QVERIFY_THROWS_EXCEPTION(JsonError, json::parse("{", QStringLiteral("The file")));
        QVERIFY_THROWS_EXCEPTION(JsonError, json::parseArray("{}", QStringLiteral("The file")));
    }

    void compactWriterEscapes()
    {
        const QJsonArray array { QStringLiteral("/a\"b\\c\n\u0001"), QStringLiteral("caf\u00e9") };
        QCOMPARE(json::write(array, { json::Style::Compact, true }),
            QByteArray("[\"\\/a\\\"b\\\\c\\n\\u0001\",\"caf\xc3\xa9\"]"));
        QCOMPARE(json::compact(array), QByteArray("[\"/a\\\"b\\\\c\\n\\u0001\",\"caf\xc3\xa9\"]"));
        // A file-name byte that is not UTF-8 is written as QJsonDocument writes it, and reads back.
        const QJsonArray name { QStringLiteral("caf") + QChar(0xDCE9) + QStringLiteral("-\U0001F600") };
        QCOMPARE(json::compact(name), QByteArray("[\"caf\\udce9-\xf0\x9f\x98\x80\"]"));
        QCOMPARE(json::parseArray(json::compact(name)), name);
        // A key only the writer's own stand-in for big integers uses, spelled in a JSON text,
        // stays a quoted value: nothing read can put raw text into what is written.
        const QJsonObject spelled = json::parseObject("{\"\\u0000exactInteger\":\"1}\\n{\\\"x\\\":2\"}");
        QCOMPARE(json::parseObject(json::compact(spelled)), spelled);
    }

    void prettyWriterSortsKeysAndRoundTrips()
    {
        const QJsonObject object { { "b", 1 }, { "a", QJsonArray { 1.25, true } }, { "c", QJsonObject {} } };
        const QByteArray text = json::pretty(object);
        QCOMPARE(text, QByteArray("{\n  \"a\" : [\n    1.25,\n    true\n  ],\n  \"b\" : 1,\n  \"c\" : {}\n}"));
        QCOMPARE(json::parseObject(text), object);
    }

    void doublesRoundTripExactly()
    {
        for (double value : { 786543210.123456789, 0.1, -3.5e-7, 1e20, 123456789012.5 }) {
            const QByteArray text = json::compact(QJsonArray { value });
            QCOMPARE(json::parseArray(text).at(0).toDouble(), value);
        }
        QVERIFY_THROWS_EXCEPTION(JsonError, json::compact(QJsonArray { qQNaN() }));
    }
};

QTEST_GUILESS_MAIN(JsonTest)
#include "JsonTest.moc"

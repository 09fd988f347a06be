#include "agent/AgentParameters.h"
#include "TestSupport.h"
#include "agent/AgentError.h"

#include <QtTest>

using namespace vellmir;

namespace {

QJsonObject object(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

// The usage message the call throws, or "ok".
template <typename Call> QString usageOf(Call call)
{
    try {
        call();
    } catch (const AgentError &error) {
        return error.kind() == AgentError::Kind::usage ? error.message() : QStringLiteral("wrong kind");
    }
    return QStringLiteral("ok");
}

AgentParameters parameters(const char *command, const char *json)
{
    return AgentParameters(object(json), *AgentCommand::named(QString::fromLatin1(command)));
}

} // namespace

class AgentParametersTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void validation_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("message");
        test::dataRow("first unknown key by sort order", "history", R"({"destination":"x","limt":1,"foo":2})",
            "history has no parameter \"foo\".");
        test::dataRow("unknown before missing", "restore", R"({"bogus":1})", "restore has no parameter \"bogus\".");
        test::dataRow("first missing in table order", "restore", R"({"destination":"x"})", "restore needs snapshot.");
        test::dataRow("status takes nothing", "status", R"({"limit":1})", "status has no parameter \"limit\".");
        test::dataRow("empty value is present", "destination", R"({"destination":""})", "ok");
        test::dataRow("null value is present", "destination", R"({"destination":null})", "ok");
        test::dataRow("required of add", "add-destination", R"({"name":"a","kind":"local","repository":"r"})",
            "add-destination needs password.");
    }
    void validation()
    {
        QFETCH(QString, command);
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        QCOMPARE(usageOf([&] {
            AgentParameters(QJsonDocument::fromJson(arguments.toUtf8()).object(), *AgentCommand::named(command));
        }),
            message);
    }

    void integers_data()
    {
        QTest::addColumn<QString>("value"); // a JSON value
        QTest::addColumn<QString>("result"); // the number, "fail", or "range" when out of it
        test::dataRow("text", R"("42")", "42");
        test::dataRow("plus", R"("+42")", "42");
        test::dataRow("minus", R"("-7")", "-7");
        test::dataRow("number", "3", "3");
        test::dataRow("integral double", "3.0", "3");
        test::dataRow("largest exact", R"("9007199254740991")", "9007199254740991");
        test::dataRow("beyond exact", R"("9007199254740992")", "range");
        test::dataRow("fraction", "3.5", "fail");
        // A flag's number is read as JSON reads one, and held to the one rule of whole numbers.
        test::dataRow("decimal text", R"("3.0")", "3");
        test::dataRow("fraction text", R"("1.5")", "fail");
        test::dataRow("leading blank", R"(" 4")", "fail");
        test::dataRow("empty text", R"("")", "fail");
        test::dataRow("twenty digits", R"("12345678901234567890")", "range");
        test::dataRow("two signs", R"("+-1")", "fail");
        test::dataRow("hex", R"("0x10")", "fail");
        test::dataRow("exponent", R"("1e3")", "1000");
        test::dataRow("exponent below a double", R"("1e-400")", "fail");
        test::dataRow("huge number", "1e30", "range");
        test::dataRow("boolean", "true", "fail");
        test::dataRow("null", "null", "fail");
    }
    void integers()
    {
        QFETCH(QString, value);
        QFETCH(QString, result);
        const AgentCommand &history = *AgentCommand::named("history");
        const AgentParameters p(
            AgentParameters::typed(history, object(("{\"destination\":\"x\",\"limit\":" + value + "}").toUtf8())),
            history);
        if (result == QLatin1String("range")) {
            QCOMPARE(usageOf([&] { p.check(history); }),
                QStringLiteral("limit must be a whole number from 0 to 9007199254740991."));
        } else if (result == QLatin1String("fail")) {
            QCOMPARE(usageOf([&] { p.check(history); }), QStringLiteral("limit must be a whole number."));
        } else {
            QCOMPARE(p.integer("limit"), result.toLongLong());
        }
        QCOMPARE(parameters("history", R"({"destination":"x"})").integer("limit"),
            std::optional<qint64>(10)); // the table's default
    }

    void booleans_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("result");
        test::dataRow("true", "true", "true");
        test::dataRow("YES", R"("YES")", "true");
        test::dataRow("One", R"("1")", "true");
        test::dataRow("0", R"("0")", "false");
        test::dataRow("No", R"("No")", "false");
        test::dataRow("on", R"("on")", "fail");
        test::dataRow("y", R"("y")", "fail");
        test::dataRow("leading blank", R"(" true")", "fail");
        test::dataRow("number", "1", "fail");
    }
    void booleans()
    {
        QFETCH(QString, value);
        QFETCH(QString, result);
        const AgentCommand &command = *AgentCommand::named("apply-retention");
        const AgentParameters p(
            AgentParameters::typed(command, object(("{\"destination\":\"x\",\"prune\":" + value + "}").toUtf8())),
            command);
        if (result == QLatin1String("fail"))
            QCOMPARE(usageOf([&] { p.boolean("prune"); }), QStringLiteral("prune must be true or false."));
        else
            QCOMPARE(p.boolean("prune"), std::optional<bool>(result == QLatin1String("true")));
    }

    void textsAndLists()
    {
        const AgentParameters p = parameters("update-destination",
            R"({"destination":" ","name":"","addSources":["~/a"],"removeSources":["a","b"],"addExcludes":["a",1],)"
            R"("removeExcludes":[],"schedule":3})");
        QCOMPARE(p.requiredString("destination"), QStringLiteral(" "));
        QCOMPARE(p.string("name"), std::optional<QString>(QString()));
        QCOMPARE(usageOf([&] { p.requiredString("name"); }), QStringLiteral("name must not be empty."));
        QCOMPARE(usageOf([&] { p.string("schedule"); }), QStringLiteral("schedule must be text."));
        QCOMPARE(p.strings("addSources"), QStringList({ "~/a" }));
        QCOMPARE(p.strings("removeSources"), QStringList({ "a", "b" }));
        QCOMPARE(p.strings("removeExcludes"), QStringList());
        QCOMPARE(p.strings("keepDaily"), QStringList()); // absent
        QCOMPARE(usageOf([&] { p.strings("addExcludes"); }), QStringLiteral("addExcludes must be a list of text."));
        QCOMPARE(usageOf([&] { p.strings("schedule"); }), QStringLiteral("schedule must be a list of text."));
        QCOMPARE(p.string("keepDaily"), std::optional<QString>());
        QCOMPARE(usageOf([&] { p.requiredString("keepDaily"); }), QStringLiteral("keepDaily must not be empty."));
        QVERIFY_THROWS_EXCEPTION(std::logic_error, p.integer("limit")); // a name this command lacks
    }
};

QTEST_GUILESS_MAIN(AgentParametersTest)
#include "AgentParametersTest.moc"

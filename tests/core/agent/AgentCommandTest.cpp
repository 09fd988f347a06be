#include "agent/AgentCommand.h"

#include <QtTest>

using namespace vellmir;

class AgentCommandTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tableHoldsTheFifteenCommandsInOrder()
    {
        QStringList names;
        QStringList tiers;
        for (const AgentCommand &command : AgentCommand::all()) {
            names << command.name;
            tiers << toString(command.tier);
        }
        QCOMPARE(names,
            QStringList({ "status", "destination", "history", "snapshots", "browse", "audit", "backup", "backup-result",
                "check", "retention-preview", "add-destination", "update-destination", "remove-destination", "restore",
                "apply-retention" }));
        QCOMPARE(tiers,
            QStringList({ "read", "read", "read", "read", "read", "read", "operate", "read", "operate", "operate",
                "change", "change", "change", "change", "change" }));
        QCOMPARE(&AgentCommand::all(), &AgentCommand::all());
    }

    void namedMatchesExactly_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("row"); // -1: none
        QTest::newRow("status") << "status" << 0;
        QTest::newRow("backup-result") << "backup-result" << 7;
        QTest::newRow("capitalised") << "Status" << -1;
        QTest::newRow("leading blank") << " status" << -1;
        QTest::newRow("prefix") << "stat" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void namedMatchesExactly()
    {
        QFETCH(QString, name);
        QFETCH(int, row);
        const AgentCommand *command = AgentCommand::named(name);
        if (row < 0)
            QVERIFY(!command);
        else
            QCOMPARE(command, &AgentCommand::all().at(row));
    }

    void requiredParametersAndSharedHelp()
    {
        const auto required = [](const QString &name) {
            QStringList list;
            for (const AgentCommand::Parameter &parameter : AgentCommand::named(name)->parameters)
                if (parameter.required)
                    list << parameter.name;
            return list;
        };
        QCOMPARE(required("add-destination"), QStringList({ "name", "kind", "repository", "password" }));
        QCOMPARE(required("restore"), QStringList({ "destination", "snapshot", "target" }));
        QVERIFY(AgentCommand::named("status")->parameters.isEmpty());
        QCOMPARE(required("audit"), QStringList());

        const AgentCommand::Parameter *snapshot = AgentCommand::named("browse")->parameter("snapshot");
        QVERIFY(snapshot);
        QCOMPARE(snapshot->help, QStringLiteral("Snapshot id, short id, or \"latest\"."));
        QVERIFY(*snapshot == *AgentCommand::named("restore")->parameter("snapshot"));
        for (const AgentCommand &command : AgentCommand::all())
            if (const AgentCommand::Parameter *destination = command.parameter("destination")) {
                QVERIFY(destination->required);
                QCOMPARE(destination->help, QStringLiteral("Destination name, id, or unique id prefix."));
            }
        QVERIFY(AgentCommand::named("update-destination")->parameter("addSources")->kind
            == AgentCommand::Parameter::Kind::strings);
        QCOMPARE(AgentCommand::named("update-destination")->parameters.size(), 15);
        AgentCommand history = *AgentCommand::named("history"); // a bound is worded from its value
        history.parameters[1].minimum = 3;
        QCOMPARE(history.refusal({ { "limit", 2 } }), std::optional<QString>("limit must be at least 3."));
    }

    void rawValuesRoundTrip()
    {
        for (AgentCommand::Tier tier :
            { AgentCommand::Tier::read, AgentCommand::Tier::operate, AgentCommand::Tier::change })
            QVERIFY(tierFromString(toString(tier)) == tier);
        QVERIFY(!tierFromString("Read"));
        QVERIFY(parameterKindFromString("strings") == AgentCommand::Parameter::Kind::strings);
        QVERIFY(!parameterKindFromString("list"));
    }
};

QTEST_GUILESS_MAIN(AgentCommandTest)
#include "AgentCommandTest.moc"

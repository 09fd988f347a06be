#include "SealFixture.h"
#include "config/ConfigError.h"
#include "config/UserDefaults.h"

#include <QRegularExpression>
#include <QtTest>

using namespace vellmir;
using test::SealFixture;

namespace {
const QString missingRecord = QStringLiteral("Vellmir's record of its own settings is missing or was altered.");
// With nothing to vouch for them, every stored field is listed; the ids, last, differ from run to run.
const QString settings
    = QStringLiteral("\nKind: %1\nExcludes: none\nSchedule: Manual\nRetention: Keep 7 daily, 4 weekly, 12 monthly, 3 "
                     "yearly\nApply retention after backups: on\nOnly on AC power: off\nAvoid metered networks: on\n"
                     "Upload limit: none\nMonthly checks: off\nStorage rate per TB and month: none\nMonthly budget: "
                     "none\nLast backup: never");
const QString pictures
    = QStringLiteral("“Pictures”\nBacking up to: /srv/a\nFolders: /home/ana/Documents") + settings.arg("Local disk");
const QString offsite = QStringLiteral("“Offsite”\nBacking up to: b2:bucket:vellmir\nFolders: /home/ana/Documents")
    + settings.arg("Backblaze B2");

QStringList withoutIds(QStringList lines)
{
    static const QRegularExpression ids(QStringLiteral("\nId: .*$"), QRegularExpression::DotMatchesEverythingOption);
    for (QString &line : lines)
        line.remove(ids);
    return lines;
}

#define VERIFY_INTEGRITY(actual, expected)                                                                             \
    QVERIFY2((actual) == (expected), qPrintable((actual).debugText() + QStringLiteral(" != ") + (expected).debugText()))
} // namespace

class SealVerificationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The first check ever: no key and no seal.
    void firstRunSealsAndMovesTheOldDefault_data()
    {
        QTest::addColumn<QString>("oldDefault"); // "", "true" or "false"
        QTest::addColumn<QString>("policyFile"); // "", "true" or "false"
        QTest::addColumn<QString>("expectedPolicyFile"); // "" when no file should exist
        test::dataRow("nothing set", "", "", "");
        test::dataRow("old default on", "true", "", "true");
        test::dataRow("old default off", "false", "", "");
        test::dataRow("policy file wins over the default", "true", "false", "false");
        test::dataRow("policy file kept", "", "true", "true");
    }

    void firstRunSealsAndMovesTheOldDefault()
    {
        QFETCH(QString, oldDefault);
        QFETCH(QString, policyFile);
        QFETCH(QString, expectedPolicyFile);
        SealFixture f;
        const Destination d = SealFixture::destination("D", Destination::Kind::local, "/srv/d");
        f.storeSecrets(d);
        f.writeDestinations({ d });
        if (!oldDefault.isEmpty())
            UserDefaults(f.userDefaultsPath).setValue(UserDefaults::agentChangesWithoutApproval, oldDefault == "true");
        if (!policyFile.isEmpty())
            f.seal.writePolicy(AgentPolicy::Settings { policyFile == "true" });

        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
        QCOMPARE(f.keys->createCount, 1);
        QVERIFY(QFile::exists(f.sealPath()));
        QVERIFY(!UserDefaults(f.userDefaultsPath).contains(UserDefaults::agentChangesWithoutApproval));
        if (expectedPolicyFile.isEmpty()) {
            QVERIFY(!QFile::exists(f.policyPath()));
        } else {
            QCOMPARE(f.seal.current().policy.changesWithoutApproval, expectedPolicyFile == "true");
            QCOMPARE(f.seal.sealed()->policy.changesWithoutApproval, expectedPolicyFile == "true");
        }
        // Later checks compare against that seal and create nothing.
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
        QCOMPARE(f.keys->createCount, 1);
        QVERIFY(!f.seal.isFromAnotherComputer());
    }

    void failedFirstRunIsRetried()
    {
        SealFixture f;
        UserDefaults(f.userDefaultsPath).setValue(UserDefaults::agentChangesWithoutApproval, true);
        f.keys->failCreates = true;
        const ConfigIntegrity failed = f.seal.verify();
        VERIFY_INTEGRITY(failed,
            ConfigIntegrity::unavailable(
                QStringLiteral("Vellmir could not reach its protected keyring: The keyring is locked.")));
        // The migration already happened and its policy file stays for the retry.
        QVERIFY(!UserDefaults(f.userDefaultsPath).contains(UserDefaults::agentChangesWithoutApproval));
        QVERIFY(f.seal.current().policy.changesWithoutApproval);

        f.keys->failCreates = false;
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
        QVERIFY(f.seal.sealed()->policy.changesWithoutApproval);
    }

    void firstRunPolicyWriteFailureKeepsTheOldDefault()
    {
        SealFixture f;
        UserDefaults(f.userDefaultsPath).setValue(UserDefaults::agentChangesWithoutApproval, true);
        // The configuration folder cannot be created where a file stands.
        test::writeFile(f.folder, "in the way");
        QVERIFY(f.seal.verify().isUnavailable());
        QVERIFY(UserDefaults(f.userDefaultsPath).contains(UserDefaults::agentChangesWithoutApproval));
        QCOMPARE(f.keys->createCount, 0);
    }

    // A first start that stops halfway leaves the state before it or its sealed result, never a
    // key without a seal that reads as changed outside.
    void firstRunStoppedHalfway_data()
    {
        QTest::addColumn<QString>("stop");
        test::dataRow("seal cannot be written", "sealFails");
        test::dataRow("stopped right after storing the key", "afterKey");
    }

    void firstRunStoppedHalfway()
    {
        QFETCH(QString, stop);
        SealFixture f;
        UserDefaults(f.userDefaultsPath).setValue(UserDefaults::agentChangesWithoutApproval, true);
        if (stop == "sealFails")
            // A folder where the destinations file should be cannot be read, so sealing fails.
            QVERIFY(QDir().mkpath(f.destinationsPath));
        f.keys->failAfterStoring = stop == "afterKey";
        QVERIFY(f.seal.verify().isUnavailable());
        QCOMPARE(f.keys->createCount, stop == "afterKey" ? 1 : 0);
        QVERIFY(!QFile::exists(f.sealPath()));
        if (stop == "sealFails")
            QVERIFY(QDir().rmdir(f.destinationsPath));
        f.keys->failAfterStoring = false;

        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
        QVERIFY(!QFile::exists(f.seal.pendingSealPath()));
        QVERIFY(f.seal.trusted().policy.changesWithoutApproval);
        QCOMPARE(f.keys->createCount, 1);

        // A seal deleted afterwards is no first start.
        QVERIFY(QFile::remove(f.sealPath()));
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::changed());
        // With no seal to compare against, the review shows all that keeping would trust.
        QCOMPARE(f.seal.differences(), (QStringList { missingRecord, "Agents may make changes without asking." }));
    }

    // Outside changes after a first seal, and the verdict, review lines and trusted list each gives.
    void outsideChanges_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("verdict"); // "valid", "changed" or the unavailable sentence
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("trusted");
        const QStringList both { "Pictures", "Offsite" };
        test::dataRow("nothing", "none", "valid", QStringList {}, both);
        test::dataRow("renamed", "rename", "changed", QStringList { "Changed the settings of “Photos”." }, both);
        test::dataRow(
            "moved", "move", "changed", QStringList { "Changed where “Pictures” backs up to: /mnt/elsewhere." }, both);
        test::dataRow(
            "added", "add", "changed", QStringList { "Added destination “Extra”, backing up to sftp:host:/x." }, both);
        // Written out, never applied: the line cannot be turned around or split.
        test::dataRow("added with a forged name", "addForged", "changed",
            QStringList { "Added destination “Lap⟨U+202E⟩top”, backing up "
                          "to sftp:host:/x⟨U+000A⟩Restore: everything." },
            both);
        test::dataRow("removed", "remove", "changed", QStringList { "Removed destination “Offsite”." }, both);
        test::dataRow("not JSON", "garbage", "changed",
            QStringList { "The destinations file can no longer be read.", "Removed destination “Pictures”.",
                "Removed destination “Offsite”." },
            both);
        test::dataRow("empty array", "emptyArray", "changed",
            QStringList { "Removed destination “Pictures”.", "Removed destination “Offsite”." }, both);
        QTest::newRow("reformatted only")
            << "reformat"
            << "changed" << QStringList { "Vellmir's record of its own settings was altered." } << both;
        test::dataRow("policy turned on", "policyOn", "changed",
            QStringList { "Turned on agent changes without approval." }, both);
        test::dataRow("policy file without flag", "policyBroken", "changed", QStringList {},
            both); // differences() throws, checked below
        test::dataRow("password replaced", "password", "changed",
            QStringList { "Replaced the stored password or keys for “Pictures”." }, QStringList { "Offsite" });
        test::dataRow("B2 key removed", "b2Key", "changed",
            QStringList { "Replaced the stored password or keys for “Offsite”." }, QStringList { "Pictures" });
        test::dataRow("renamed with new secrets", "renameAndPassword", "changed",
            QStringList { "Changed the settings of “Photos”." }, QStringList { "Offsite" });
        test::dataRow("sealed copy edited, tag kept", "sealedEdited", "changed",
            QStringList { missingRecord, pictures, offsite }, QStringList {});
        test::dataRow(
            "seal deleted", "deleteSeal", "changed", QStringList { missingRecord, pictures, offsite }, QStringList {});
        // A change the app was writing when it stopped: only its own signed seal of exactly
        // these files vouches for them.
        test::dataRow("renamed, pending seal of ours", "renamePending", "valid", QStringList {},
            QStringList { "Photos", "Offsite" });
        test::dataRow("renamed, pending seal signed elsewhere", "renameForgedPending", "changed",
            QStringList { "Changed the settings of “Photos”." }, both);
        test::dataRow("pending seal of ours for other content", "stalePending", "changed",
            QStringList { "Changed where “Photos” backs up to: /mnt/elsewhere." }, both);
        test::dataRow("keyring read fails", "secretsFail", "Keyring error: The keyring is locked.", QStringList {},
            QStringList {});
    }

    void outsideChanges()
    {
        QFETCH(QString, change);
        QFETCH(QString, verdict);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, trusted);
        SealFixture f;
        QList<Destination> list = f.sealedPair();
        Destination &pictures = list[0];

        const auto writePending = [&](const SymmetricKey &key) {
            const SealedConfig now = f.seal.current();
            test::writeFile(f.seal.pendingSealPath(),
                json::pretty(QJsonObject { { "version", 1 }, { "mac", QString::fromLatin1(now.tag(key).toBase64()) },
                    { "sealed", now.toJson() } }));
        };
        if (change == "rename" || change == "renameAndPassword" || change.endsWith("Pending")) {
            pictures.name = "Photos";
            f.writeDestinations(list);
            if (change.endsWith("Pending"))
                writePending(change == "renameForgedPending" ? SymmetricKey::random() : *f.keys->key());
            if (change == "stalePending") {
                pictures.repository = "/mnt/elsewhere";
                f.writeDestinations(list);
            }
        } else if (change == "move") {
            pictures.repository = "/mnt/elsewhere";
            f.writeDestinations(list);
        } else if (change == "add") {
            f.writeDestinations(list << SealFixture::destination("Extra", Destination::Kind::sftp, "sftp:host:/x"));
        } else if (change == "addForged") {
            f.writeDestinations(list << SealFixture::destination(
                                    "Lap\u202Etop", Destination::Kind::sftp, "sftp:host:/x\nRestore: everything"));
        } else if (change == "remove") {
            f.writeDestinations({ pictures });
        } else if (change == "garbage") {
            test::writeFile(f.destinationsPath, "this is not JSON");
        } else if (change == "emptyArray") {
            test::writeFile(f.destinationsPath, "[]");
        } else if (change == "reformat") {
            test::writeFile(f.destinationsPath, json::compact(Destination::listToJson(list)));
        } else if (change == "policyOn") {
            test::writeFile(f.policyPath(), "{\"changesWithoutApproval\": true}");
        } else if (change == "policyBroken") {
            test::writeFile(f.policyPath(), "{}");
        } else if (change == "sealedEdited") {
            QJsonObject file = json::parseObject(test::readFile(f.sealPath()));
            QJsonObject sealed = file.value("sealed").toObject();
            sealed.insert("destinations", QString::fromLatin1(QByteArray("[]").toBase64()));
            file.insert("sealed", sealed);
            test::writeFile(f.sealPath(), json::pretty(file));
        } else if (change == "deleteSeal") {
            QVERIFY(QFile::remove(f.sealPath()));
        } else if (change == "secretsFail") {
            f.secrets->failReads = true;
        }
        if (change == "password" || change == "renameAndPassword")
            f.credentials.setSecret("replaced", CredentialRole::repoPassword, pictures.credentialID);
        if (change == "b2Key")
            f.secrets->remove(CredentialsStore::service(),
                CredentialsStore::account(CredentialRole::b2AccountKey, list[1].credentialID));

        const ConfigIntegrity integrity = f.seal.verify();
        if (verdict == "valid")
            VERIFY_INTEGRITY(integrity, ConfigIntegrity::valid());
        else if (verdict == "changed")
            VERIFY_INTEGRITY(integrity, ConfigIntegrity::changed());
        else
            VERIFY_INTEGRITY(integrity, ConfigIntegrity::unavailable(verdict));
        // An outside edit on this computer never reads as coming from another one.
        QVERIFY(!f.seal.isFromAnotherComputer());
        // The check settled the pending seal: what follows reads no superseded one.
        QVERIFY(!QFile::exists(f.seal.pendingSealPath()));

        QStringList trustedNames;
        for (const Destination &d : f.seal.trusted().destinations)
            trustedNames.append(d.name);
        QCOMPARE(trustedNames, trusted);

        if (verdict == "changed" && change != "policyBroken")
            QCOMPARE(withoutIds(f.seal.differences()), lines);
        else if (verdict != "valid")
            QVERIFY_THROWS_EXCEPTION(Error, f.seal.differences());
        // A check makes no key and keeps the other files as they are.
        QCOMPARE(f.keys->createCount, 1);
    }

    void policyTurnedOffOutside()
    {
        SealFixture f;
        f.sealedPair(true);
        QVERIFY(QFile::remove(f.policyPath()));
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::changed());
        QCOMPARE(f.seal.differences(), QStringList { "Turned off agent changes without approval." });
        QVERIFY(f.seal.trusted().policy.changesWithoutApproval);
    }

    void configurationFromAnotherComputer_data()
    {
        QTest::addColumn<bool>("policyOn");
        QTest::addColumn<bool>("keyringFails");
        QTest::newRow("policy off") << false << false;
        QTest::newRow("policy on") << true << false;
        QTest::newRow("key store unreachable") << false << true;
    }

    void configurationFromAnotherComputer()
    {
        QFETCH(bool, policyOn);
        QFETCH(bool, keyringFails);
        SealFixture f;
        f.sealedPair(policyOn);
        auto otherKeys = std::make_shared<test::MemorySealKeyStore>();
        otherKeys->failReads = keyringFails;
        const ConfigSeal elsewhere = f.sealWithKeys(otherKeys);

        QVERIFY(elsewhere.isFromAnotherComputer());
        if (keyringFails) {
            VERIFY_INTEGRITY(elsewhere.verify(),
                ConfigIntegrity::unavailable("Vellmir could not reach its protected keyring: The keyring is locked."));
            QVERIFY_THROWS_EXCEPTION(SealKeyError, elsewhere.trusted());
            return;
        }
        VERIFY_INTEGRITY(elsewhere.verify(), ConfigIntegrity::changed());
        QCOMPARE(otherKeys->createCount, 0);
        QStringList expected { pictures, offsite };
        if (policyOn)
            expected.append("Agents may make changes without asking.");
        QCOMPARE(withoutIds(elsewhere.differences()), expected);
        QVERIFY(elsewhere.trusted().destinations.isEmpty());
        QVERIFY(!elsewhere.trusted().policy.changesWithoutApproval);

        // Keeping the changes there seals them under that computer's own key.
        elsewhere.seal();
        VERIFY_INTEGRITY(elsewhere.verify(), ConfigIntegrity::valid());
        QVERIFY(!elsewhere.isFromAnotherComputer());
    }

    void undoDropsReplacedSecretsAndRestoresTheRest()
    {
        SealFixture f;
        QList<Destination> list = f.sealedPair(true);
        const Destination pictures = list[0];
        const Destination offsite = list[1];
        f.credentials.setSecret("replaced", CredentialRole::repoPassword, pictures.credentialID);
        list[1].name = "Renamed outside";
        f.writeDestinations(list);
        f.seal.writePolicy(AgentPolicy::Settings { false });
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::changed());

        QCOMPARE(f.seal.undo(), QStringList { "Pictures" });
        QCOMPARE(f.readDestinations(), QList<Destination> { offsite });
        QVERIFY(!f.credentials.secret(CredentialRole::repoPassword, pictures.credentialID));
        QCOMPARE(*f.credentials.secret(CredentialRole::repoPassword, offsite.credentialID),
            QStringLiteral("repoPassword-of-Offsite"));
        QVERIFY(f.seal.current().policy.changesWithoutApproval);
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
    }

    void undoWithNothingRemovedWritesTheSealedBytesBack()
    {
        SealFixture f;
        const Destination d = SealFixture::destination("D", Destination::Kind::sftp, "sftp:host:/d");
        f.storeSecrets(d);
        // Bytes no encoder of ours would produce, to show they come back exactly.
        const QByteArray handWritten = "[ " + json::compact(d.toJson()) + " ]\n";
        test::writeFile(f.destinationsPath, handWritten);
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
        f.writeDestinations({});

        QCOMPARE(f.seal.undo(), QStringList {});
        QCOMPARE(test::readFile(f.destinationsPath), handWritten);
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
    }

    void undoToNoDestinationsFileDeletesIt()
    {
        SealFixture f;
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
        f.writeDestinations({ SealFixture::destination("New", Destination::Kind::local, "/srv/new") });
        QCOMPARE(f.seal.undo(), QStringList {});
        QVERIFY(!QFile::exists(f.destinationsPath));
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
    }

    void undoWithoutTrustedSealFails_data()
    {
        QTest::addColumn<bool>("deleteSeal");
        QTest::newRow("seal deleted") << true;
        QTest::newRow("key lost") << false;
    }

    void undoWithoutTrustedSealFails()
    {
        QFETCH(bool, deleteSeal);
        SealFixture f;
        f.sealedPair();
        if (deleteSeal)
            QVERIFY(QFile::remove(f.sealPath()));
        else
            f.keys->forget();
        const auto before = f.snapshotFiles();
        try {
            f.seal.undo();
            QFAIL("undo went ahead without a trusted seal");
        } catch (const ConfigError &error) {
            QCOMPARE(error.message(), QStringLiteral("There is no trusted configuration to go back to."));
        }
        QCOMPARE(f.snapshotFiles(), before);
    }

    // One failing keyring read must not make undo drop a destination and delete its password.
    void undoStopsOnKeyringReadFailureBeforeTouchingAnything()
    {
        SealFixture f;
        QList<Destination> list = f.sealedPair();
        list[0].name = "Edited outside";
        f.writeDestinations(list);
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::changed());
        const auto files = f.snapshotFiles();
        const int items = f.secrets->count();

        f.secrets->failReads = true;
        // Elsewhere the lenient rule stays: unreadable secrets are not trusted.
        QVERIFY(f.seal.trusted().destinations.isEmpty());
        try {
            f.seal.undo();
            QFAIL("undo went ahead although the keyring could not be read");
        } catch (const Error &error) {
            QCOMPARE(error.message(), QStringLiteral("Keyring error: The keyring is locked."));
        }
        f.secrets->failReads = false;
        QCOMPARE(f.snapshotFiles(), files);
        QCOMPARE(f.secrets->count(), items);

        // Once the keyring answers, the same undo keeps both destinations.
        QCOMPARE(f.seal.undo(), QStringList {});
        QCOMPARE(f.readDestinations().size(), 2);
        QCOMPARE(f.secrets->count(), items);
    }

    void undoIgnoresFailingItemRemoval()
    {
        SealFixture f;
        const QList<Destination> list = f.sealedPair();
        f.credentials.setSecret("replaced", CredentialRole::repoPassword, list[1].credentialID);
        f.secrets->failRemovals = true;
        QCOMPARE(f.seal.undo(), QStringList { "Offsite" });
        QCOMPARE(f.readDestinations(), QList<Destination> { list[0] });
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
    }

    void undoKeepsItemsThatAKeptDestinationStillUses()
    {
        SealFixture f;
        // Two destinations on one credential: the B2 one needs three secrets, the local one one,
        // so the local one never matches the three sealed entries and is dropped.
        Destination b2 = SealFixture::destination("Cloud", Destination::Kind::backblazeB2, "b2:bucket:x");
        Destination local = SealFixture::destination("Disk", Destination::Kind::local, "/srv/disk");
        local.credentialID = b2.credentialID;
        f.storeSecrets(b2);
        f.writeDestinations({ b2, local });
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
        QCOMPARE(f.seal.trusted().destinations, QList<Destination> { b2 });

        QCOMPARE(f.seal.undo(), QStringList { "Disk" });
        QCOMPARE(*f.credentials.secret(CredentialRole::repoPassword, b2.credentialID),
            QStringLiteral("repoPassword-of-Cloud"));
        VERIFY_INTEGRITY(f.seal.verify(), ConfigIntegrity::valid());
    }
};

QTEST_GUILESS_MAIN(SealVerificationTest)
#include "SealVerificationTest.moc"

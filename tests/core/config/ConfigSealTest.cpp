#include "SealFixture.h"

#include <QMessageAuthenticationCode>
#include <QtTest>

using namespace vellmir;
using test::SealFixture;

namespace {
const QString emptyDigest = QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
const QString abcDigest = QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

QJsonObject sealObject(const SealFixture &f)
{
    return json::parseObject(test::readFile(f.sealPath()));
}
} // namespace

class ConfigSealTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void noDestinationsFileSealsEmptyContent()
    {
        SealFixture f;
        const SealedConfig now = f.seal.current();
        QVERIFY(now.destinations.isEmpty());
        QVERIFY(!now.policy.changesWithoutApproval);
        QVERIFY(now.credentials.isEmpty());

        f.seal.seal();
        QCOMPARE(f.keys->createCount, 1);
        const QByteArray written = test::readFile(f.sealPath());
        QVERIFY(written.contains('\n')); // pretty-printed
        const QJsonObject file = json::parseObject(written);
        QCOMPARE(file.keys(), (QStringList { "mac", "sealed", "version" }));
        QCOMPARE(file.value("version").toInt(), 1);
        QCOMPARE(QByteArray::fromBase64(file.value("mac").toString().toLatin1()).size(), 32);
        const QJsonObject sealed = file.value("sealed").toObject();
        QCOMPARE(sealed.keys(), (QStringList { "credentials", "destinations", "policy" }));
        QCOMPARE(sealed.value("destinations").toString(), QString());
        QCOMPARE(f.seal.sealed(), std::optional<SealedConfig>(now));

        // A second seal reuses the key.
        f.seal.seal();
        QCOMPARE(f.keys->createCount, 1);
    }

    void fingerprintsCoverTheRolesOfEachKind_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("roles");
        QTest::newRow("local") << int(Destination::Kind::local) << QStringList { "repoPassword" };
        QTest::newRow("sftp") << int(Destination::Kind::sftp) << QStringList { "repoPassword" };
        QTest::newRow("b2") << int(Destination::Kind::backblazeB2)
                            << QStringList { "b2AccountID", "b2AccountKey", "repoPassword" };
        QTest::newRow("s3") << int(Destination::Kind::s3)
                            << QStringList { "awsAccessKeyID", "awsSecretAccessKey", "repoPassword" };
    }

    void fingerprintsCoverTheRolesOfEachKind()
    {
        QFETCH(int, kind);
        QFETCH(QStringList, roles);
        SealFixture f;
        const Destination d = SealFixture::destination("D", Destination::Kind(kind), "/srv/d");
        f.storeSecrets(d);
        f.writeDestinations({ d });
        const QMap<QString, QString> map = f.seal.current().credentials;
        QStringList expected;
        for (const QString &role : roles)
            expected.append(uuidText(d.credentialID) + u'/' + role);
        QCOMPARE(map.keys(), expected);
        const QString password = uuidText(d.credentialID) + QStringLiteral("/repoPassword");
        QCOMPARE(map.value(password), secretFingerprint(QStringLiteral("repoPassword-of-D")));
    }

    void fingerprintIsSha256OfTheSecretAndMissingEqualsEmpty()
    {
        SealFixture f;
        Destination missing = SealFixture::destination("Missing", Destination::Kind::local, "/srv/m");
        Destination empty = SealFixture::destination("Empty", Destination::Kind::local, "/srv/e");
        Destination abc = SealFixture::destination("Abc", Destination::Kind::local, "/srv/abc");
        f.credentials.setSecret(QString(), CredentialRole::repoPassword, empty.credentialID);
        f.credentials.setSecret(QStringLiteral("abc"), CredentialRole::repoPassword, abc.credentialID);
        // A second destination on the same credentials adds no entry of its own.
        Destination twin = SealFixture::destination("Twin", Destination::Kind::local, "/srv/t");
        twin.credentialID = abc.credentialID;
        f.writeDestinations({ missing, empty, abc, twin });

        const QMap<QString, QString> map = f.seal.current().credentials;
        QCOMPARE(map.size(), 3);
        QCOMPARE(map.value(uuidText(missing.credentialID) + "/repoPassword"), emptyDigest);
        QCOMPARE(map.value(uuidText(empty.credentialID) + "/repoPassword"), emptyDigest);
        QCOMPARE(map.value(uuidText(abc.credentialID) + "/repoPassword"), abcDigest);
    }

    void tagIsHmacOverCompactSortedContent()
    {
        // Pins the canonical encoding: a change here would void every existing seal.
        SealedConfig content;
        content.destinations = "[]";
        content.policy.changesWithoutApproval = true;
        content.credentials.insert("5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F/repoPassword", abcDigest);
        const QByteArray canonical = "{\"credentials\":{\"5A0F8E43-1C2B-4D6E-9F70-8A9B0C1D2E3F/repoPassword\":\""
            + abcDigest.toLatin1() + "\"},\"destinations\":\"W10=\",\"policy\":{\"changesWithoutApproval\":true}}";
        QCOMPARE(content.canonicalBytes(), canonical);

        const SymmetricKey key(QByteArray(32, '\x07'));
        const QByteArray tag = content.tag(key);
        QCOMPARE(tag.size(), 32);
        QCOMPARE(tag, QMessageAuthenticationCode::hash(canonical, key.bytes(), QCryptographicHash::Sha256));
        QVERIFY(tag != content.tag(SymmetricKey(QByteArray(32, '\x08'))));
    }

    void sealedContentReadsBackAndRejectsBadShapes_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("valid");
        QTest::newRow("complete") << QByteArray(R"({"credentials":{"a/b":"c"},"destinations":"W10=",)"
                                                R"("policy":{"changesWithoutApproval":false},"extra":1})")
                                  << true;
        QTest::newRow("no credentials") << QByteArray(
            R"({"destinations":"","policy":{"changesWithoutApproval":false}})")
                                        << false;
        QTest::newRow("no destinations") << QByteArray(
            R"({"credentials":{},"policy":{"changesWithoutApproval":false}})")
                                         << false;
        QTest::newRow("no policy") << QByteArray(R"({"credentials":{},"destinations":""})") << false;
        QTest::newRow("policy without flag")
            << QByteArray(R"({"credentials":{},"destinations":"","policy":{}})") << false;
        QTest::newRow("bad base64") << QByteArray(
            R"({"credentials":{},"destinations":"@@@","policy":{"changesWithoutApproval":false}})")
                                    << false;
        QTest::newRow("fingerprint not text")
            << QByteArray(R"({"credentials":{"a":1},"destinations":"","policy":{"changesWithoutApproval":false}})")
            << false;
    }

    void sealedContentReadsBackAndRejectsBadShapes()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, valid);
        const QJsonObject object = json::parseObject(json);
        if (!valid) {
            QVERIFY_THROWS_EXCEPTION(JsonError, SealedConfig::fromJson(object));
            return;
        }
        const SealedConfig content = SealedConfig::fromJson(object);
        QCOMPARE(content.destinations, QByteArray("[]"));
        QCOMPARE(content.credentials.value("a/b"), QStringLiteral("c"));
        QCOMPARE(SealedConfig::fromJson(content.toJson()), content);
    }

    void tagsCompareByEveryByteAndLength_data()
    {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<bool>("equal");
        const QByteArray tag(32, 'x');
        QByteArray lastDiffers = tag;
        lastDiffers[31] = 'y';
        QTest::newRow("same") << tag << tag << true;
        QTest::newRow("last byte") << tag << lastDiffers << false;
        QTest::newRow("first byte") << tag << QByteArray("y" + tag.mid(1)) << false;
        QTest::newRow("shorter") << tag << tag.left(31) << false;
        QTest::newRow("empty") << tag << QByteArray() << false;
    }

    void tagsCompareByEveryByteAndLength()
    {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(bool, equal);
        QCOMPARE(tagsEqual(a, b), equal);
        QCOMPARE(tagsEqual(b, a), equal);
    }

    // What sealed() makes of a seal file that was rewritten by hand.
    void sealFileEdits_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("reformatted") << "reformat" << true;
        QTest::newRow("keys reordered") << "reorder" << true;
        QTest::newRow("unknown key added") << "extra" << true;
        QTest::newRow("version 2 with a correct tag") << "version2" << false;
        QTest::newRow("policy value changed") << "policy" << false;
        QTest::newRow("fingerprint changed") << "fingerprint" << false;
        QTest::newRow("tag shortened") << "shortTag" << false;
        QTest::newRow("tag flipped") << "flipTag" << false;
        QTest::newRow("sealed key missing") << "noSealed" << false;
        QTest::newRow("not JSON") << "garbage" << false;
        QTest::newRow("deleted") << "delete" << false;
    }

    void sealFileEdits()
    {
        QFETCH(QString, edit);
        QFETCH(bool, trusted);
        SealFixture f;
        const QList<Destination> pair = f.sealedPair();
        const SealedConfig before = *f.seal.sealed();

        QJsonObject file = sealObject(f);
        QJsonObject sealed = file.value("sealed").toObject();
        QByteArray bytes;
        if (edit == "reformat") {
            bytes = QJsonDocument(file).toJson(QJsonDocument::Indented).replace("    ", "\t");
        } else if (edit == "reorder") {
            // Hand-written key order: version first, mac last.
            bytes = "{ \"version\": 1, \"sealed\": " + json::compact(sealed) + ", \"mac\": \""
                + file.value("mac").toString().toLatin1() + "\" }";
        } else if (edit == "extra") {
            file.insert("comment", "kept by hand");
            bytes = json::pretty(file);
        } else if (edit == "version2") {
            file.insert("version", 2);
            bytes = json::pretty(file);
        } else if (edit == "policy") {
            sealed.insert("policy", QJsonObject { { "changesWithoutApproval", true } });
            file.insert("sealed", sealed);
            bytes = json::pretty(file);
        } else if (edit == "fingerprint") {
            QJsonObject prints = sealed.value("credentials").toObject();
            prints.insert(prints.keys().first(), emptyDigest);
            sealed.insert("credentials", prints);
            file.insert("sealed", sealed);
            bytes = json::pretty(file);
        } else if (edit == "shortTag" || edit == "flipTag") {
            QByteArray tag = QByteArray::fromBase64(file.value("mac").toString().toLatin1());
            if (edit == "shortTag")
                tag.chop(1);
            else
                tag[0] = char(tag[0] ^ 1);
            file.insert("mac", QString::fromLatin1(tag.toBase64()));
            bytes = json::pretty(file);
        } else if (edit == "noSealed") {
            file.remove("sealed");
            bytes = json::pretty(file);
        } else if (edit == "garbage") {
            bytes = "not a seal";
        }
        if (edit == "delete")
            QVERIFY(QFile::remove(f.sealPath()));
        else
            test::writeFile(f.sealPath(), bytes);

        const std::optional<SealedConfig> after = f.seal.sealed();
        QCOMPARE(after.has_value(), trusted);
        if (trusted)
            QCOMPARE(*after, before);
        QVERIFY(f.seal.verify() == (trusted ? ConfigIntegrity::valid() : ConfigIntegrity::changed()));
        Q_UNUSED(pair);
    }

    void sealedWithoutKeyIsAbsentAndKeyErrorsEscape()
    {
        SealFixture f;
        f.sealedPair();
        f.keys->failReads = true;
        QVERIFY_THROWS_EXCEPTION(SealKeyError, f.seal.sealed());
        f.keys->failReads = false;
        f.keys->forget();
        QVERIFY(!f.seal.sealed());
    }

    void writePolicyWritesPrettyFileWithoutResealing()
    {
        SealFixture f;
        f.seal.seal();
        const QByteArray sealBefore = test::readFile(f.sealPath());
        f.seal.writePolicy(AgentPolicy::Settings { true });
        QCOMPARE(
            json::parseObject(test::readFile(f.policyPath())), (QJsonObject { { "changesWithoutApproval", true } }));
        QVERIFY(test::readFile(f.policyPath()).contains('\n'));
        QCOMPARE(test::readFile(f.sealPath()), sealBefore);
        QVERIFY(f.seal.current().policy.changesWithoutApproval);
    }

    void currentFailsOnPolicyWithoutFlag()
    {
        SealFixture f;
        test::writeFile(f.policyPath(), "{}");
        QVERIFY_THROWS_EXCEPTION(JsonError, f.seal.current());
    }

    void sealFailuresLeaveTheOldSeal_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("keyring read") << "secrets";
        QTest::newRow("destinations not JSON") << "json";
        QTest::newRow("key creation") << "create";
    }

    void sealFailuresLeaveTheOldSeal()
    {
        QFETCH(QString, failure);
        SealFixture f;
        const Destination d = SealFixture::destination("D", Destination::Kind::local, "/srv/d");
        f.writeDestinations({ d });
        if (failure == "create") {
            f.keys->failCreates = true;
            QVERIFY_THROWS_EXCEPTION(SealKeyError, f.seal.seal());
            QVERIFY(!QFile::exists(f.sealPath()));
            return;
        }
        f.seal.seal();
        const QByteArray sealBefore = test::readFile(f.sealPath());
        if (failure == "secrets")
            f.secrets->failReads = true;
        else
            test::writeFile(f.destinationsPath, "{");
        QVERIFY_THROWS_EXCEPTION(Error, f.seal.seal());
        QCOMPARE(test::readFile(f.sealPath()), sealBefore);
    }

    void sealAccessProbe_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("status");
        QTest::newRow("no key yet") << "empty"
                                    << "Seal keyring: reachable\n"
                                    << 0;
        QTest::newRow("key stored") << "key"
                                    << "Seal keyring: reachable\n"
                                    << 0;
        QTest::newRow("unreachable") << "failing"
                                     << "Vellmir could not reach its protected keyring: The keyring is locked.\n"
                                     << 1;
    }

    void sealAccessProbe()
    {
        QFETCH(QString, state);
        QFETCH(QString, output);
        QFETCH(int, status);
        test::MemorySealKeyStore keys;
        if (state == "key")
            keys.create();
        keys.failReads = state == "failing";
        const SealAccessCheck check = checkSealAccess(keys);
        QCOMPARE(check.output, output);
        QCOMPARE(check.exitStatus, status);
    }
};

QTEST_GUILESS_MAIN(ConfigSealTest)
#include "ConfigSealTest.moc"

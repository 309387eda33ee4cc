// The profile file: what is refused, with the field named, and what a written
// file reads back as.
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include "profile/profile.h"

namespace {

// A type 2 profile: interface with card type, key number and parity.
QJsonObject Type2()
{
    return QJsonDocument::fromJson(R"({"format": "tesmora-reader-profile", "version": 1,
        "type": 2, "id": "05", "lineSetting": "9600,e,8,1",
        "settings": {"interface": 1, "wiegand": 2, "rs485": 3, "cardType": 2,
                     "keyNumber": 16, "keyParity": 1},
        "readFrom": {"serial": "ABCD1234", "version": "05.00-01", "port": 7,
                     "time": "2026-12-08T15:09:13Z"}})")
        .object();
}

using Edit = std::function<void(QJsonObject&)>;

void Set(QJsonObject& o, const QString& key, const QJsonValue& v)
{
    QJsonObject s = o["settings"].toObject();
    if (v.isUndefined())
        s.remove(key);
    else
        s[key] = v;
    o["settings"] = s;
}

} // namespace

Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(profile::Refusal::Kind)

class TestProfileFile : public QObject
{
    Q_OBJECT

private slots:
    void refused_data()
    {
        QTest::addColumn<Edit>("edit");
        QTest::addColumn<int>("requiredType"); // 0-7, -1 none
        QTest::addColumn<profile::Refusal::Kind>("kind");
        QTest::addColumn<QString>("field");
        using K = profile::Refusal;
        QTest::newRow("other format")
            << Edit([](QJsonObject& o) { o["format"] = "tesmora-profile"; }) << -1 << K::NotProfile
            << "format";
        QTest::newRow("version 2")
            << Edit([](QJsonObject& o) { o["version"] = 2; }) << -1 << K::NotProfile << "version";
        QTest::newRow("unknown key")
            << Edit([](QJsonObject& o) { o["baud"] = 9600; }) << -1 << K::UnknownKey << "baud";
        QTest::newRow("no type") << Edit([](QJsonObject& o) { o.remove("type"); }) << -1
                                 << K::Missing << "type";
        QTest::newRow("type 9") << Edit([](QJsonObject& o) { o["type"] = 9; }) << -1 << K::BadValue
                                << "type";
        QTest::newRow("type as text")
            << Edit([](QJsonObject& o) { o["type"] = "2"; }) << -1 << K::BadValue << "type";
        QTest::newRow("other type than --type")
            << Edit([](QJsonObject&) {}) << 3 << K::OtherType << "type";
        QTest::newRow("ID 00") << Edit([](QJsonObject& o) { o["id"] = "00"; }) << -1 << K::BadValue
                               << "id";
        QTest::newRow("ID as number")
            << Edit([](QJsonObject& o) { o["id"] = 5; }) << -1 << K::BadValue << "id";
        QTest::newRow("line setting 300 baud")
            << Edit([](QJsonObject& o) { o["lineSetting"] = "300,n,8,1"; }) << -1 << K::BadValue
            << "lineSetting";
        // A setting of another type: key status belongs to type 4.
        QTest::newRow("setting of type 4") << Edit([](QJsonObject& o) { Set(o, "keyStatus", 0); })
                                           << -1 << K::UnknownKey << "settings.keyStatus";
        QTest::newRow("no key parity")
            << Edit([](QJsonObject& o) { Set(o, "keyParity", QJsonValue::Undefined); }) << -1
            << K::Missing << "settings.keyParity";
        QTest::newRow("key number 17") << Edit([](QJsonObject& o) { Set(o, "keyNumber", 17); })
                                       << -1 << K::BadValue << "settings.keyNumber";
        QTest::newRow("card type 1.5") << Edit([](QJsonObject& o) { Set(o, "cardType", 1.5); })
                                       << -1 << K::BadValue << "settings.cardType";
        QTest::newRow("interface -1") << Edit([](QJsonObject& o) { Set(o, "interface", -1); }) << -1
                                      << K::BadValue << "settings.interface";
        QTest::newRow("readFrom unknown") << Edit([](QJsonObject& o) {
            o["readFrom"] = QJsonObject{{"owner", "x"}};
        }) << -1 << K::UnknownKey << "readFrom.owner";
    }

    void refused()
    {
        QFETCH(Edit, edit);
        QFETCH(int, requiredType);
        QFETCH(profile::Refusal::Kind, kind);
        QFETCH(QString, field);
        QJsonObject o = Type2();
        QVERIFY(profile::Parse(QJsonDocument(o).toJson()).profile);
        edit(o);
        const profile::Parsed p =
            profile::Parse(QJsonDocument(o).toJson(),
                           requiredType < 0 ? std::nullopt : std::optional<int>(requiredType));
        QVERIFY(!p.profile);
        QVERIFY(p.refusal);
        QCOMPARE(p.refusal->kind, kind);
        QCOMPARE(p.refusal->field, field);
        QVERIFY2(p.refusal->message.startsWith(field + ": "), qPrintable(p.refusal->message));
    }

    void notJson()
    {
        for (const QByteArray& text : {QByteArray("{\"format\": "), QByteArray("[1, 2]")}) {
            const profile::Parsed p = profile::Parse(text);
            QVERIFY(p.refusal);
            QCOMPARE(p.refusal->kind, profile::Refusal::NotProfile);
        }
    }

    // Written and read back: every value, the ID key's letter, and the keys in
    // the file's own order.
    void roundTrip()
    {
        const profile::Parsed p = profile::Parse(QJsonDocument(Type2()).toJson());
        QVERIFY(p.profile);
        const QByteArray text = profile::ToJson(*p.profile);
        QCOMPARE(QJsonDocument::fromJson(text).object(), Type2());
        QVERIFY(text.indexOf("\"format\"") < text.indexOf("\"type\""));
        QVERIFY(text.indexOf("\"keyNumber\"") < text.indexOf("\"keyParity\""));

        profile::Profile type3;
        type3.type = 2;
        type3.id = "01";
        type3.settings.idKeyB = true;
        type3.settings.interfaceMode = type3.settings.wiegand = type3.settings.rs485 = 0;
        type3.settings.idSector = type3.settings.idBlock = type3.settings.idByte = 0;
        type3.settings.idKeyErr = 1;
        const QJsonObject s =
            QJsonDocument::fromJson(profile::ToJson(type3)).object()["settings"].toObject();
        QCOMPARE(s["idKey"].toString(), QStringLiteral("B"));
        QVERIFY(!s.contains("cardType")); // type 3's interface answer has none
    }
};

QTEST_GUILESS_MAIN(TestProfileFile)
#include "tst_profilefile.moc"

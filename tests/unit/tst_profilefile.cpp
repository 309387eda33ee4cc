// What a profile file is refused for, with the field named.
#include <QTest>

#include "profile/profile.h"

Q_DECLARE_METATYPE(profile::Refusal::Kind)

class TestProfileFile : public QObject
{
    Q_OBJECT

private slots:
    // Each row replaces one text of a valid type 2 profile.
    void refused_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("requiredType");
        QTest::addColumn<profile::Refusal::Kind>("kind");
        QTest::addColumn<QString>("field");
        using K = profile::Refusal;
        struct Row
        {
            const char *tag, *from, *to;
            int requiredType; // 0-7, -1 none
            K::Kind kind;
            const char* field;
        };
        const QByteArray longText(500, 'x');
        // Key status belongs to type 4.
        const Row rows[] = {
            {"not JSON", R"("type": 2)", R"("type": )", -1, K::NotProfile, ""},
            {"other format", "reader-profile", "profile", -1, K::NotProfile, "format"},
            {"unknown key", R"("type": 2)", R"("baud": 1, "type": 2)", -1, K::UnknownKey, "baud"},
            {"type 9", R"("type": 2)", R"("type": 9)", -1, K::BadValue, "type"},
            {"not --type", "", "", 3, K::OtherType, "type"},
            {"ID 00", R"("id": "05")", R"("id": "00")", -1, K::BadValue, "id"},
            {"300 baud", "9600,e", "300,e", -1, K::BadValue, "lineSetting"},
            {"type 4's setting", "{\"interface", "{\"keyStatus\": 0, \"interface", -1,
             K::UnknownKey, "settings.keyStatus"},
            {"no key parity", R"(, "keyParity": 1)", "", -1, K::Missing, "settings.keyParity"},
            {"key number 17", "16", "17", -1, K::BadValue, "settings.keyNumber"},
            {"card type 1.5", R"("cardType": 2)", R"("cardType": 1.5)", -1, K::BadValue,
             "settings.cardType"},
            // What the file holds comes back escaped and cut, never raw on a terminal.
            {"escapes in a value", R"("id": "05")", "\"id\": \"\\u001b]0;x\\u0007\\u001b[2J\"", -1,
             K::BadValue, "id"},
            {"escapes in a key", R"("type": 2)", "\"\\u001b[2J\": 1, \"type\": 2", -1,
             K::UnknownKey, "[1B][2J"},
            {"long value", "9600,e,8,1", longText.constData(), -1, K::BadValue, "lineSetting"},
            // Read as empty, it would be lost at the next save.
            {"serial a number", R"("ABCD1234")", "1234", -1, K::BadValue, "readFrom.serial"},
        };
        for (const Row& r : rows)
            QTest::newRow(r.tag) << QString(r.from) << QString(r.to) << r.requiredType << r.kind
                                 << QString(r.field);
    }

    void refused()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, requiredType);
        QFETCH(profile::Refusal::Kind, kind);
        QFETCH(QString, field);
        QString text = R"({"format": "tesmora-reader-profile", "version": 1, "type": 2,
            "id": "05", "lineSetting": "9600,e,8,1",
            "settings": {"interface": 1, "wiegand": 2, "rs485": 3, "cardType": 2,
                         "keyNumber": 16, "keyParity": 1},
            "readFrom": {"serial": "ABCD1234", "version": "05.00-01", "port": 7}})";
        QVERIFY(from.isEmpty() || text.contains(from));
        text.replace(from, to);
        const profile::Parsed p = profile::Parse(
            text.toUtf8(), requiredType < 0 ? std::nullopt : std::optional<int>(requiredType));
        QVERIFY(!p.profile);
        QCOMPARE(p.refusal->kind, kind);
        QCOMPARE(p.refusal->field, field);
        QVERIFY2(p.refusal->message.startsWith(field), qPrintable(p.refusal->message));
        QVERIFY(!p.refusal->message.contains(QChar(0x1B)) && p.refusal->message.size() < 140);
    }
};

QTEST_GUILESS_MAIN(TestProfileFile)
#include "tst_profilefile.moc"

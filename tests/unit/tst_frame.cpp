// Command frames, the response check, the traffic display, the text conversions,
// the tick difference and the answer acceptance rules.
#include <QByteArray>
#include <QTest>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "link/answers.h"
#include "link/frame.h"
#include "link/payload.h"
#include "link/ticks.h"

namespace {

const uint8_t* Data(const QByteArray& a)
{
    return reinterpret_cast<const uint8_t*>(a.constData());
}

std::string_view View(const QByteArray& a)
{
    return {a.constData(), static_cast<size_t>(a.size())};
}

QByteArray Bytes(const std::string& s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    void byteToHex_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<QString>("hex");
        QTest::newRow("00") << 0x00 << "00";
        QTest::newRow("09") << 0x09 << "09";
        QTest::newRow("0A") << 0x0A << "0A";
        QTest::newRow("9F") << 0x9F << "9F";
        QTest::newRow("A5") << 0xA5 << "A5";
        QTest::newRow("FF") << 0xFF << "FF";
    }

    void byteToHex()
    {
        QFETCH(int, byte);
        QFETCH(QString, hex);
        QCOMPARE(QString::fromStdString(link::ByteToHex(static_cast<uint8_t>(byte))), hex);
    }

    void commandFrame_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("sent");
        QTest::newRow("A00B") << QByteArray("A00B")
                              << QByteArray::fromHex("09413030423041"
                                                     "0D")
                              << "[09]A00B0A[0D]";
        QTest::newRow("abc") << QByteArray("abc")
                             << QByteArray::fromHex("096162633639"
                                                    "0D")
                             << "[09]abc69[0D]";
        // Checksum of the 0x09 alone.
        QTest::newRow("empty") << QByteArray() << QByteArray::fromHex("0930390D") << "[09]09[0D]";
        // Payload bytes are sent exactly as given, control bytes included.
        QTest::newRow("control byte") << QByteArray("A\r")
                                      << QByteArray::fromHex("09410D3435"
                                                             "0D")
                                      << "[09]A\r45[0D]";
    }

    void commandFrame()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, frame);
        QFETCH(QString, sent);
        const auto built = link::BuildCommandFrame(View(payload));
        QVERIFY(built.has_value());
        QCOMPARE(Bytes(*built), frame);
        QCOMPARE(QString::fromStdString(link::SentDisplay(View(payload))), sent);
    }

    void commandFrameLimit()
    {
        const std::string longest(255, 'A');
        const auto frame = link::BuildCommandFrame(longest);
        QVERIFY(frame.has_value());
        QCOMPARE(frame->size(), size_t(259));
        // 0x09 XOR an odd number of 'A' (0x41) is 0x48.
        QCOMPARE(frame->substr(256), std::string("48\r"));
        QVERIFY(!link::BuildCommandFrame(std::string(256, 'A')).has_value());
        QVERIFY(!link::BuildCommandFrame(std::string(1000, 'A')).has_value());
    }

    // Each character one byte: what Latin-1 reads back goes out unchanged.
    void payloadBytes_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<bool>("sendable");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("command") << "A01B" << true << QByteArray("A01B");
        QTest::newRow("byte B0") << QStringLiteral("A\u00B07V") << true
                                 << QByteArray("A\xB0"
                                               "7V");
        QTest::newRow("byte FF") << QStringLiteral("\u00FF") << true << QByteArray("\xFF");
        QTest::newRow("Chinese") << QStringLiteral("H1\u6D4B") << false << QByteArray();
        QTest::newRow("euro") << QStringLiteral("\u20AC") << false << QByteArray();
        QTest::newRow("255") << QString(255, QLatin1Char('A')) << true << QByteArray(255, 'A');
        QTest::newRow("256") << QString(256, QLatin1Char('A')) << false << QByteArray();
    }

    void payloadBytes()
    {
        QFETCH(QString, payload);
        QFETCH(bool, sendable);
        QFETCH(QByteArray, bytes);
        const auto got = link::PayloadBytes(payload);
        QCOMPARE(got.has_value(), sendable);
        if (sendable) {
            QCOMPARE(QByteArray::fromStdString(*got), bytes);
            QCOMPARE(link::PayloadText(*got), payload);
        }
    }

    void receivedDisplay_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("display");
        QTest::newRow("7F 41 0D B0") << QByteArray::fromHex("7F410DB0")
                                     << "\x7F"
                                        "A[0D][B0]";
        QTest::newRow("smallest frame") << QByteArray("\n0A\r") << "[0A]0A[0D]";
        QTest::newRow("stray zero") << QByteArray("\0\n0A\r", 5) << "[00][0A]0A[0D]";
        QTest::newRow("edges") << QByteArray::fromHex("1F20807F") << "[1F] [80]\x7F";
        QTest::newRow("FF") << QByteArray::fromHex("FF") << "[FF]";
        QTest::newRow("none") << QByteArray() << "";
    }

    void receivedDisplay()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, display);
        QCOMPARE(
            QString::fromLatin1(Bytes(link::ReceivedDisplay(Data(bytes), size_t(bytes.size())))),
            display);
    }

    void responseChecksum_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<bool>("valid");
        QTest::newRow("smallest") << QByteArray("\n0A\r") << true;
        QTest::newRow("lower case") << QByteArray("\n0a\r") << false;
        QTest::newRow("wrong digit") << QByteArray("\n0B\r") << false;
        QTest::newRow("three bytes") << QByteArray("\n0A") << false;
        QTest::newRow("empty") << QByteArray() << false;
        // 0A ^ 41 ^ 30 ^ 31 ^ 42 = 08
        QTest::newRow("answer") << QByteArray("\nA01B08\r") << true;
        QTest::newRow("answer swapped digits") << QByteArray("\nA01B80\r") << false;
        QTest::newRow("answer wrong") << QByteArray("\nA01B09\r") << false;
        // 0A ^ B0 = BA, a checksum with letters in both digits.
        QTest::newRow("high byte") << QByteArray("\n\xB0"
                                                 "BA\r")
                                   << true;
        QTest::newRow("high byte lower case") << QByteArray("\n\xB0"
                                                            "ba\r")
                                              << false;
        QTest::newRow("high byte mixed case") << QByteArray("\n\xB0"
                                                            "Ba\r")
                                              << false;
    }

    void responseChecksum()
    {
        QFETCH(QByteArray, frame);
        QFETCH(bool, valid);
        QCOMPARE(link::ResponseChecksumValid(reinterpret_cast<const uint8_t*>(frame.constData()),
                                             static_cast<size_t>(frame.size())),
                 valid);
    }

    void hexText8ToNumber_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("00BC614E") << QByteArray("00BC614E") << 12345678;
        QTest::newRow("lower case counts 0") << QByteArray("00bc614e") << 24896;
        QTest::newRow("short") << QByteArray("12") << 0x12000000;
        QTest::newRow("all ones") << QByteArray("FFFFFFFF") << -1;
        QTest::newRow("only eight count") << QByteArray("0012345678") << 0x00123456;
        QTest::newRow("top bit") << QByteArray("80000000") << int(INT32_MIN);
        QTest::newRow("largest") << QByteArray("7FFFFFFF") << int(INT32_MAX);
        QTest::newRow("other characters") << QByteArray("G1 -Z9x?") << 0x01000900;
        QTest::newRow("empty") << QByteArray() << 0;
    }

    void hexText8ToNumber()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QCOMPARE(link::HexText8ToNumber(View(text)), int32_t(value));
    }

    // Expected values worked out by hand: byte i XOR mask byte 7-i, i.e. with
    // 38 E6 0D 7A C4 91 2E 5B in that order.
    void unscrambleHex16_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("plain");
        QTest::newRow("zeros") << QByteArray("0000000000000000") << "38E60D7AC4912E5B";
        QTest::newRow("ones") << QByteArray("FFFFFFFFFFFFFFFF") << "C719F2853B6ED1A4";
        QTest::newRow("mask gives zeros") << QByteArray("38E60D7AC4912E5B") << "0000000000000000";
        QTest::newRow("counting") << QByteArray("0123456789ABCDEF") << "39C5481D4D3AE3B4";
        QTest::newRow("lower case counts 0")
            << QByteArray("abcdef0123456789") << "38E60D7BE7D449D2";
        QTest::newRow("other characters") << QByteArray("0000000000000Fz1") << "38E60D7AC491215A";
        QTest::newRow("short") << QByteArray("12") << "2AE60D7AC4912E5B";
        QTest::newRow("extra ignored") << QByteArray("0000000000000000FF") << "38E60D7AC4912E5B";
    }

    void unscrambleHex16()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, plain);
        QCOMPARE(QString::fromStdString(link::UnscrambleHex16(View(text))), plain);
    }

    void tickDifference_data()
    {
        QTest::addColumn<uint>("start");
        QTest::addColumn<uint>("now");
        QTest::addColumn<int>("elapsed");
        QTest::newRow("plain") << 100u << 400u << 300;
        QTest::newRow("none") << 5u << 5u << 0;
        QTest::newRow("deadline passed") << 1000u << 1301u << 301;
        QTest::newRow("wrap") << 0xFFFFFFF0u << 0x10u << 32;
        QTest::newRow("wrap by one") << 0xFFFFFFFFu << 0u << 1;
        // Where the counter's top bit flips, larger-minus-smaller as signed
        // numbers would overflow to a negative value and never time out.
        QTest::newRow("top bit flips") << 0x7FFFFFF0u << 0x80000010u << 32;
        QTest::newRow("top bit by one") << 0x7FFFFFFFu << 0x80000000u << 1;
        QTest::newRow("past deadline at top bit") << 0x7FFFFF00u << 0x80000040u << 320;
    }

    void tickDifference()
    {
        QFETCH(uint, start);
        QFETCH(uint, now);
        QFETCH(int, elapsed);
        QCOMPARE(link::TickDifference(start, now), int32_t(elapsed));
    }

    void tickCountAdvances()
    {
        const uint32_t a = link::TickCount();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const int32_t d = link::TickDifference(a, link::TickCount());
        QVERIFY2(d >= 29 && d < 2000, qPrintable(QString::number(d)));
    }

    void identifyAccepted_data()
    {
        QTest::addColumn<bool>("exchanged");
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("16") << true << 16 << true;
        QTest::newRow("15") << true << 15 << false;
        QTest::newRow("17") << true << 17 << false;
        QTest::newRow("16, no exchange") << false << 16 << false;
    }

    void identifyAccepted()
    {
        QFETCH(bool, exchanged);
        QFETCH(int, length);
        QFETCH(bool, accepted);
        QCOMPARE(link::IdentifyAccepted(exchanged, length), accepted);
    }

    void statusAccepted_data()
    {
        QTest::addColumn<bool>("exchanged");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("required");
        QTest::addColumn<bool>("accepted");
        const QByteArray ok("\nA01d0012\r");
        QTest::newRow("ok") << true << ok << 10 << 10 << true;
        QTest::newRow("not exchanged") << false << ok << 10 << 10 << false;
        QTest::newRow("status 01") << true << QByteArray("\nA01d0112\r") << 10 << 10 << false;
        QTest::newRow("status at 4-5 only")
            << true << QByteArray("\nA0100d12\r") << 10 << 10 << false;
        QTest::newRow("longer than required")
            << true << QByteArray("\nA01d00x12\r") << 11 << 10 << false;
        QTest::newRow("shorter than required")
            << true << QByteArray("\nA01d001\r") << 9 << 10 << false;
        QTest::newRow("42-byte answer")
            << true << QByteArray("\nA01h00" + QByteArray(32, '5') + "12\r") << 42 << 42 << true;
        // A length that claims more than the text holds must not read past it.
        QTest::newRow("text too short") << true << QByteArray("\nA0") << 10 << 10 << false;
        QTest::newRow("status cut") << true << QByteArray("\nA01d0") << 10 << 10 << false;
    }

    void statusAccepted()
    {
        QFETCH(bool, exchanged);
        QFETCH(QByteArray, response);
        QFETCH(int, length);
        QFETCH(int, required);
        QFETCH(bool, accepted);
        QCOMPARE(link::StatusAccepted(exchanged, View(response), length, required), accepted);
    }

    void blockEchoAccepted_data()
    {
        QTest::addColumn<bool>("exchanged");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("length");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("accepted");
        const QByteArray data("00112233445566778899AABBCCDDEEFF");
        const QByteArray ok = "\nA01i00" + data + "12\r";
        QCOMPARE(ok.size(), 42);
        QTest::newRow("echo") << true << ok << 42 << data << true;
        QTest::newRow("not exchanged") << false << ok << 42 << data << false;
        QByteArray other = data;
        other[31] = 'E';
        QTest::newRow("last character differs") << true << ok << 42 << other << false;
        QByteArray first = data;
        first[0] = '1';
        QTest::newRow("first character differs") << true << ok << 42 << first << false;
        QTest::newRow("shorter data") << true << ok << 42 << data.left(31) << false;
        QTest::newRow("status 01")
            << true << QByteArray("\nA01i01" + data + "12\r") << 42 << data << false;
        QTest::newRow("41 bytes") << true << QByteArray("\nA01i00" + data + "1\r") << 41 << data
                                  << false;
        QTest::newRow("text too short")
            << true << QByteArray("\nA01i00" + data.left(10)) << 42 << data << false;
    }

    void blockEchoAccepted()
    {
        QFETCH(bool, exchanged);
        QFETCH(QByteArray, response);
        QFETCH(int, length);
        QFETCH(QByteArray, data);
        QFETCH(bool, accepted);
        QCOMPARE(link::BlockEchoAccepted(exchanged, View(response), length, View(data)), accepted);
    }
};

QTEST_MAIN(TestFrame)
#include "tst_frame.moc"

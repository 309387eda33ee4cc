// The receive buffer: frame completion, the full buffer at 1024 bytes, and
// arbitrary byte streams, which must never reach outside the buffer.
#include <QByteArray>
#include <QTest>

#include <cstdint>
#include <random>
#include <string>
#include <utility>

#include "link/frame.h"
#include "link/responsecollector.h"

namespace {

// Feeds bytes as the exchange does, up to the first one that is not More;
// returns its index (-1: none) and what it did.
std::pair<int, link::Fed> FeedAll(link::ResponseCollector& c, const QByteArray& bytes)
{
    for (int i = 0; i < bytes.size(); ++i) {
        const link::Fed fed = c.Feed(static_cast<uint8_t>(bytes[i]));
        if (fed != link::Fed::More)
            return {i, fed};
    }
    return {-1, link::Fed::More};
}

// Every byte shows as itself or as four characters "[XX]".
void CheckDisplay(const link::ResponseCollector& c)
{
    const std::string shown = link::ReceivedDisplay(c.Data(), size_t(c.Length()));
    size_t expected = 0;
    for (int i = 0; i < c.Length(); ++i)
        expected += c.Data()[i] >= 0x20 && c.Data()[i] <= 0x7F ? 1 : 4;
    QCOMPARE(shown.size(), expected);
}

} // namespace

class TestCollector : public QObject
{
    Q_OBJECT

private slots:
    void completion_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("completedAt");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("smallest") << QByteArray("\n0A\r") << 3 << QByteArray("\n0A\r");
        QTest::newRow("identify") << QByteArray("\nA01B12345678XY\r") << 15
                                  << QByteArray("\nA01B12345678XY\r");
        // Only the first 0x0D ends it; later bytes are not fed.
        QTest::newRow("two frames") << QByteArray("\n0A\r\n0A\r") << 3 << QByteArray("\n0A\r");
        // A response that does not start with 0x0A never completes.
        QTest::newRow("stray byte first")
            << QByteArray("\0\n0A\r", 5) << -1 << QByteArray("\0\n0A\r", 5);
        QTest::newRow("echo of a command")
            << QByteArray("\tA00B0A\r") << -1 << QByteArray("\tA00B0A\r");
        QTest::newRow("0D alone") << QByteArray("\r") << -1 << QByteArray("\r");
        QTest::newRow("no 0D yet") << QByteArray("\nA01") << -1 << QByteArray("\nA01");
    }

    void completion()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, completedAt);
        QFETCH(QByteArray, text);
        link::ResponseCollector c;
        c.Clear();
        const auto [at, fed] = FeedAll(c, bytes);
        QCOMPARE(at, completedAt);
        QVERIFY(fed == (at < 0 ? link::Fed::More : link::Fed::Complete));
        QCOMPARE(c.Length(), int(text.size()));
        const std::string got = c.Text();
        QCOMPARE(QByteArray(got.data(), qsizetype(got.size())), text);
    }

    void clearForgetsTheFirstByte()
    {
        link::ResponseCollector c;
        c.Feed(0x0A);
        c.Feed('x');
        c.Clear();
        QCOMPARE(c.Length(), 0);
        QVERIFY(c.Text().empty());
        QCOMPARE(int(c.Data()[0]), 0);
        QCOMPARE(int(c.Data()[1]), 0);
        // The old 0x0A at the front must not complete a new frame.
        QVERIFY(c.Feed(0x0D) == link::Fed::More);
    }

    // Whatever the 1024th byte is, it fills the buffer; a frame must end before it.
    void fullAt1024_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("stoppedAt");
        QTest::addColumn<int>("fed");
        const QByteArray body(1022, 'x');
        QTest::newRow("frame of 1024") << "\n" + body + "\r" << 1023 << int(link::Fed::Full);
        QTest::newRow("frame of 1023")
            << "\n" + body.left(1021) + "\r" << 1022 << int(link::Fed::Complete);
        QTest::newRow("1024 without an end") << "\n" + body + "y" << 1023 << int(link::Fed::Full);
        QTest::newRow("no 0A in front") << "y" + body + "\r" << 1023 << int(link::Fed::Full);
    }

    void fullAt1024()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, stoppedAt);
        QFETCH(int, fed);
        link::ResponseCollector c;
        c.Clear();
        const auto [at, result] = FeedAll(c, bytes);
        QCOMPARE(at, stoppedAt);
        QCOMPARE(int(result), fed);
        QCOMPARE(c.Length(), stoppedAt + 1);
        QCOMPARE(c.Text(), bytes.left(stoppedAt + 1).toStdString());
        if (result != link::Fed::Full)
            return;
        // A full buffer takes nothing more, not even a frame's end, until cleared.
        QVERIFY(c.Feed(0x0D) == link::Fed::Full);
        QVERIFY(c.Feed(0x0A) == link::Fed::Full);
        QCOMPARE(c.Length(), link::kReceiveBufferSize);
        QCOMPARE(c.Text(), bytes.toStdString());
        c.Clear();
        QCOMPARE(FeedAll(c, QByteArray("\n0A\r")).first, 3);
        QCOMPARE(c.Text(), std::string("\n0A\r"));
        QVERIFY(link::ResponseChecksumValid(c.Data(), size_t(c.Length())));
    }

    // Arbitrary streams, rich in 0x0A and 0x0D, fed as the exchange feeds them:
    // the count stays inside the buffer, a completion is always a 0x0D with a
    // 0x0A in front, and the check and the display take whatever was collected.
    void randomStreams()
    {
        for (uint32_t seed = 1; seed <= 200; ++seed) {
            std::mt19937 rng(seed);
            std::uniform_int_distribution<int> kind(0, 7);
            std::uniform_int_distribution<int> anyByte(0, 255);
            std::uniform_int_distribution<int> streamLength(0, 3000);
            link::ResponseCollector c;
            c.Clear();
            const int n = streamLength(rng);
            for (int i = 0; i < n; ++i) {
                const int k = kind(rng);
                const auto b = static_cast<uint8_t>(k == 0 ? 0x0A : k == 1 ? 0x0D : anyByte(rng));
                const link::Fed fed = c.Feed(b);
                const int length = c.Length();
                QVERIFY2(length >= 1 && length <= link::kReceiveBufferSize,
                         qPrintable(QStringLiteral("seed %1 length %2").arg(seed).arg(length)));
                QCOMPARE(int(c.Data()[length - 1]), int(b));
                QCOMPARE(fed == link::Fed::Full, length == link::kReceiveBufferSize);
                const bool complete = fed == link::Fed::Complete;
                QCOMPARE(complete,
                         b == 0x0D && c.Data()[0] == 0x0A && length < link::kReceiveBufferSize);
                if (fed != link::Fed::More) {
                    const std::string text = c.Text();
                    QCOMPARE(text.size(), size_t(length));
                    if (complete) {
                        QCOMPARE(int(uint8_t(text.front())), 0x0A);
                        QCOMPARE(int(uint8_t(text.back())), 0x0D);
                    }
                    const bool valid = link::ResponseChecksumValid(c.Data(), size_t(length));
                    QVERIFY(!valid || length >= 4);
                    CheckDisplay(c);
                    c.Clear();
                }
            }
            CheckDisplay(c);
        }
    }

    // Valid frames with arbitrary answer bytes are recognised after any amount
    // of earlier noise cleared away, and one flipped checksum digit is rejected.
    void randomFrames()
    {
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> answerLength(0, 60);
        std::uniform_int_distribution<int> answerByte(0x20, 0x7E);
        for (int round = 0; round < 500; ++round) {
            std::string frame = "\n";
            const int m = answerLength(rng);
            uint8_t x = 0x0A;
            for (int i = 0; i < m; ++i) {
                const auto b = static_cast<uint8_t>(answerByte(rng));
                frame += char(b);
                x ^= b;
            }
            frame += link::ByteToHex(x);
            frame += '\r';
            link::ResponseCollector c;
            c.Clear();
            int completedAt = -1;
            for (size_t i = 0; i < frame.size() && completedAt < 0; ++i) {
                if (c.Feed(uint8_t(frame[i])) == link::Fed::Complete)
                    completedAt = int(i);
            }
            QCOMPARE(completedAt, int(frame.size()) - 1);
            QCOMPARE(c.Text(), frame);
            QVERIFY(link::ResponseChecksumValid(c.Data(), size_t(c.Length())));
            std::string bad = frame;
            char& digit = bad[bad.size() - 2];
            digit = digit == '0' ? '1' : '0';
            QVERIFY(!link::ResponseChecksumValid(reinterpret_cast<const uint8_t*>(bad.data()),
                                                 bad.size()));
        }
    }
};

QTEST_MAIN(TestCollector)
#include "tst_collector.moc"

#include "link/exchangetrace.h"
#include "link/module1.h"
#include "link/serialcontrol.h"
#include "support/pty.h"

#include <QSignalSpy>
#include <QTest>

#include <poll.h>

namespace {

const QString separator = QString(88, QLatin1Char('-')) + QStringLiteral("\r\n");

QString incoming(const QString &escaped)
{
    return QStringLiteral("R: ") + escaped + QStringLiteral("\r\n") + separator;
}

bool lineIsQuiet(const Pty &pty)
{
    pollfd p { pty.masterFd(), POLLIN, 0 };
    return ::poll(&p, 1, 0) == 0;
}

} // namespace

// The link as the main window uses it: a serial control on a pseudo-terminal, the trace, and
// the receive event wired to the reception.
class tst_Link : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void sendWritesAfterTracing_data();
    void sendWritesAfterTracing();
    void sendWithNoPortOpen();
    void sendTooLong();

    void replies_data();
    void replies();
    void parityErrorCompletesReply_data();
    void parityErrorCompletesReply();
    void emptyEventChangesNothing();
    void unterminatedInputIsBounded();
    void leftoverSurvivesPortChange();
    void replyAtTheCap();

private:
    bool open(Pty &pty, int com = 1);
    // Writes one chunk as the device and waits until the control has handed it over.
    bool deliver(Pty &pty, const QByteArray &chunk);

    SerialControl *comm = nullptr;
    ExchangeTrace *trace = nullptr;
};

void tst_Link::init()
{
    comm = new SerialControl;
    trace = new ExchangeTrace;
    connect(comm, &SerialControl::OnComm, this, &Module1::ReceptionCaracteres);
    Module1::attach({ comm, trace });
    Module1::TamponReception.clear();
}

void tst_Link::cleanup()
{
    Module1::detach();
    delete comm;
    delete trace;
}

bool tst_Link::open(Pty &pty, int com)
{
    PortMap map;
    map.map(com, pty.slavePath());
    SerialControl::setPortMap(map);
    return comm->setCommPort(com) && comm->setPortOpen(true);
}

bool tst_Link::deliver(Pty &pty, const QByteArray &chunk)
{
    QSignalSpy events(comm, &SerialControl::OnComm);
    if (!pty.write(chunk))
        return false;
    return events.wait(2000) || events.count() > 0;
}

void tst_Link::sendWritesAfterTracing_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("entry");

    QTest::newRow("SETU") << "SETU" << QByteArray("SETU\r") << "Q: SETU$13\r\n";
    QTest::newRow("ST") << "ST" << QByteArray("ST\r") << "Q: ST$13\r\n";
    QTest::newRow("typed é") << "PROT1=é" << QByteArray("PROT1=\xe9\r") << "Q: PROT1=$233$13\r\n";
    QTest::newRow("outside the code page")
        << "PROT1=Ω" << QByteArray("PROT1=?\r") << "Q: PROT1=?$13\r\n";
}

void tst_Link::sendWritesAfterTracing()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, entry);

    Pty pty;
    QVERIFY(open(pty));
    bool quietWhenTraced = false;
    connect(trace, &ExchangeTrace::textAppended, this,
            [&] { quietWhenTraced = lineIsQuiet(pty); });

    QCOMPARE(Module1::EnvoiCommande(command), Module1::SendResult::Sent);
    QCOMPARE(trace->text(), entry);
    QVERIFY(quietWhenTraced);
    QCOMPARE(pty.read(bytes.size()), bytes);
    QCOMPARE(pty.read(1, 100), QByteArray());
}

void tst_Link::sendWithNoPortOpen()
{
    Pty pty;
    QVERIFY(open(pty));
    comm->setPortOpen(false);

    QCOMPARE(Module1::EnvoiCommande("SETU"), Module1::SendResult::NoPortOpen);
    QCOMPARE(trace->text(), QStringLiteral("Q: SETU$13\r\n"));
    QCOMPARE(pty.read(1, 200), QByteArray());
    QVERIFY(!Module1::describe(Module1::SendResult::NoPortOpen).isEmpty());
}

void tst_Link::sendTooLong()
{
    Pty pty;
    QVERIFY(open(pty));

    const QString tooLong(Module1::maxCommandLength + 1, QLatin1Char('A'));
    QCOMPARE(Module1::EnvoiCommande(tooLong), Module1::SendResult::TooLong);
    QCOMPARE(trace->text(), QString());
    QCOMPARE(pty.read(1, 200), QByteArray());

    const QString longest(Module1::maxCommandLength, QLatin1Char('A'));
    QCOMPARE(Module1::EnvoiCommande(longest), Module1::SendResult::Sent);
    QCOMPARE(pty.read(longest.size() + 1, 5000).size(), longest.size() + 1);
}

void tst_Link::replies_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("leftInBuffer");

    using Chunks = QList<QByteArray>;
    QTest::newRow("AB then C!") << Chunks { "AB", "C!" } << incoming("ABC!") << "";
    QTest::newRow("X?Y in one event") << Chunks { "X?Y" } << incoming("X?Y") << "";
    QTest::newRow("1!2! is one entry") << Chunks { "1!2!" } << incoming("1!2!") << "";
    QTest::newRow("tail starts nothing") << Chunks { "A!", "B" } << incoming("A!") << "B";
    QTest::newRow("two replies") << Chunks { "A!", "B?" } << incoming("A!") + incoming("B?")
                                 << "";
    QTest::newRow("tilde") << Chunks { "a~b!" } << incoming("a$126b!") << "";
    QTest::newRow("NUL") << Chunks { QByteArray("\0!", 2) } << incoming("$0!") << "";
    QTest::newRow("OK! CR LF") << Chunks { "OK!\r\n" } << incoming("OK!$13$10") << "";
    QTest::newRow("real 0xFF") << Chunks { "\xff!" } << incoming("$255!") << "";
    QTest::newRow("unterminated") << Chunks { "ABC" } << "" << "ABC";
}

void tst_Link::replies()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QString, expected);
    QFETCH(QString, leftInBuffer);

    Pty pty;
    QVERIFY(open(pty));
    for (const QByteArray &chunk : chunks)
        QVERIFY(deliver(pty, chunk));
    QCOMPARE(trace->text(), expected);
    QCOMPARE(Module1::TamponReception, leftInBuffer);
}

void tst_Link::parityErrorCompletesReply_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QString>("expected");

    // What the terminal driver hands over: 0377 0 c marks a character received with an error.
    using Reads = QList<QByteArray>;
    QTest::newRow("one read") << Reads { QByteArray("AB\377\0xCD", 7) } << incoming("AB?CD");
    QTest::newRow("mark split") << Reads { "AB\377", QByteArray("\0x", 2) } << incoming("AB?");
    QTest::newRow("error after a held part")
        << Reads { "BD1=96", QByteArray("\377\0\0", 3) } << incoming("BD1=96?");
    QTest::newRow("doubled mark is a real 0377, no reply")
        << Reads { "A\377", "\377" } << QString();
}

void tst_Link::parityErrorCompletesReply()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QString, expected);

    for (const QByteArray &read : reads)
        comm->takeIncoming(read);
    QCOMPARE(trace->text(), expected);
}

void tst_Link::emptyEventChangesNothing()
{
    Pty pty;
    QVERIFY(open(pty));
    QVERIFY(deliver(pty, "AB"));
    Module1::ReceptionCaracteres();
    QCOMPARE(Module1::TamponReception, QStringLiteral("AB"));
    QCOMPARE(trace->text(), QString());
}

void tst_Link::unterminatedInputIsBounded()
{
    Pty pty;
    QVERIFY(open(pty));
    QStringList entries;
    connect(trace, &ExchangeTrace::textAppended, this,
            [&](const QString &entry) { entries << entry; });

    QByteArray sent;
    for (int i = 0; sent.size() < 100000; ++i) {
        const QByteArray piece(i % 7 == 0 ? 4093 : 997, char('a' + i % 26));
        sent += piece;
        QVERIFY(deliver(pty, piece));
        QTRY_COMPARE(comm->InBufferCount(), 0);
    }
    QVERIFY(Module1::TamponReception.size() < Module1::maxReplyLength);

    QString joined;
    for (const QString &entry : entries) {
        QVERIFY(entry.startsWith(QStringLiteral("R: ")));
        QVERIFY(entry.endsWith(QStringLiteral("\r\n") + separator));
        const QString reply = entry.mid(3, entry.size() - 5 - separator.size());
        QVERIFY(reply.size() <= Module1::maxReplyLength);
        joined += reply;
    }
    QCOMPARE(entries.size(), 3);
    QCOMPARE(joined + Module1::TamponReception, QString::fromLatin1(sent));
}

void tst_Link::leftoverSurvivesPortChange()
{
    Pty first;
    Pty second;
    QVERIFY(open(first, 1));
    QVERIFY(deliver(first, "AB"));
    comm->setPortOpen(false);
    QVERIFY(open(second, 2));
    QVERIFY(deliver(second, "C!"));
    QCOMPARE(trace->text(), incoming("ABC!"));
}

void tst_Link::replyAtTheCap()
{
    Pty pty;
    QVERIFY(open(pty));
    while (trace->length() < ExchangeTrace::maxLength - 20)
        Module1::TraceEmission(QStringLiteral("SETU\r"));

    QVERIFY(deliver(pty, "BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T !\r\n"));
    QVERIFY(trace->length() <= ExchangeTrace::maxLength);
    QVERIFY(trace->text().endsWith(incoming("BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T !$13$10")));
    QVERIFY(trace->text().startsWith(QStringLiteral("Q: SETU$13\r\n")));
}

QTEST_MAIN(tst_Link)
#include "tst_link.moc"

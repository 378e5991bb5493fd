#include "link/exchangetrace.h"
#include "link/module1.h"
#include "link/serialcontrol.h"
#include "ui/traceview.h"

#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTest>

namespace {

// A trace line of exactly `length` characters, line end included.
QString line(qsizetype length, char fill = 'x')
{
    return QStringLiteral("Q: ") + QString(length - 5, QLatin1Char(fill)) + QStringLiteral("\r\n");
}

QString boxText(const QString &trace)
{
    return QString(trace).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

class tst_Trace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entryFormats_data();
    void entryFormats();
    void cap_data();
    void cap();
    void viewFollowsModel();
};

void tst_Trace::entryFormats_data()
{
    QTest::addColumn<bool>("outgoing");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("entry");

    const QString separator = QString(88, QLatin1Char('-')) + QStringLiteral("\r\n");
    QTest::newRow("sent SETU") << true << "SETU\r" << "Q: SETU$13\r\n";
    QTest::newRow("sent ST") << true << "ST\r" << "Q: ST$13\r\n";
    QTest::newRow("sent code 31 raw") << true << QString(QChar(31)) + "~\r"
                                      << "Q: " + QString(QChar(31)) + "$126$13\r\n";
    QTest::newRow("received OK! CR LF") << false << "OK!\r\n"
                                        << "R: OK!$13$10\r\n" + separator;
    QTest::newRow("received NUL") << false << QString(QChar(0)) + "!"
                                  << "R: $0!\r\n" + separator;
}

void tst_Trace::entryFormats()
{
    QFETCH(bool, outgoing);
    QFETCH(QString, text);
    QFETCH(QString, entry);

    SerialControl comm;
    ExchangeTrace trace;
    Module1::attach({ &comm, &trace });
    if (outgoing)
        Module1::TraceEmission(text);
    else
        Module1::TraceReception(text);
    Module1::detach();
    QCOMPARE(trace.text(), entry);
}

void tst_Trace::cap_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<qsizetype>("linesDropped");

    QStringList lines40;
    for (int i = 0; i < 65520 / 40; ++i)
        lines40 << line(40, char('a' + i % 26));
    QTest::newRow("65520 + 20: first line goes") << lines40 << line(20, 'N') << qsizetype(1);

    QStringList toCap = lines40;
    toCap << line(13);
    QTest::newRow("exactly full + 20") << toCap << line(20, 'N') << qsizetype(1);

    QStringList room = lines40;
    room.removeLast();
    QTest::newRow("fits exactly, nothing dropped") << room << line(53, 'N') << qsizetype(0);

    QTest::newRow("entry of 130 drops three lines") << lines40 << line(130, 'N') << qsizetype(3);

    QStringList one { line(65000) };
    QTest::newRow("one huge old line") << one << line(600, 'N') << qsizetype(1);
}

void tst_Trace::cap()
{
    QFETCH(QStringList, before);
    QFETCH(QString, entry);
    QFETCH(qsizetype, linesDropped);

    ExchangeTrace trace;
    for (const QString &l : before)
        trace.append(l);
    trace.append(entry);

    QVERIFY(trace.length() <= ExchangeTrace::maxLength);
    QVERIFY(trace.text().endsWith(entry));
    const QString kept = before.mid(linesDropped).join(QString());
    QCOMPARE(trace.text(), kept + entry);
    QCOMPARE(trace.caretPosition(), trace.length());
}

void tst_Trace::viewFollowsModel()
{
    ExchangeTrace trace;
    QPlainTextEdit box;
    TraceView view(&trace, &box);

    // Bursts of entries of every size between event-loop turns, through the cap many times,
    // including entries longer than the cap on their own.
    QRandomGenerator random(4820);
    for (int burst = 0; burst < 60; ++burst) {
        const int entries = random.bounded(1, 400);
        for (int i = 0; i < entries; ++i) {
            const int length = random.bounded(100) == 0 ? random.bounded(60000, 70000)
                                                        : random.bounded(5, 300);
            trace.append(line(length, char('a' + random.bounded(26))));
            QVERIFY(trace.length() <= ExchangeTrace::maxLength);
        }
        QTRY_COMPARE(box.toPlainText(), boxText(trace.text()));
        QCOMPARE(box.textCursor().position(), box.document()->characterCount() - 1);
    }

    // A huge entry alone keeps its last characters.
    const QString huge = line(70000, 'H');
    trace.append(huge);
    QCOMPARE(trace.text(), huge.right(ExchangeTrace::maxLength));
    view.flush();
    QCOMPARE(box.toPlainText(), boxText(trace.text()));
}

QTEST_MAIN(tst_Trace)
#include "tst_trace.moc"

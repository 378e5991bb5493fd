#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray prefix = "ID KESTREL TOWER ";
const QByteArray defaults = "BD1=9600 PA1=P LG1=7 ST1=1 PR1=O PROT1=T "
                            "BD2=9600 PA2=P LG2=7 ST2=1 PR2=O PROT2=T "
                            "BD3=9600 PA3=P LG3=7 ST3=1 PR3=O PROT3=T !\r\n";

QByteArray settings(const QList<std::pair<QByteArray, QByteArray>> &changes)
{
    QByteArray text = defaults;
    for (const auto &[from, to] : changes)
        text.replace(from, to);
    return text;
}

// tessaly-sim run as a child process; the pty path is its first line of output.
struct Sim
{
    explicit Sim(const QStringList &args = {})
    {
        process.start(qEnvironmentVariable("TESSALY_SIM"), args);
        QDeadlineTimer deadline(5000);
        while (!process.canReadLine() && !deadline.hasExpired())
            process.waitForReadyRead(100);
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Sim()
    {
        process.terminate();
        process.waitForFinished(3000);
    }
    QProcess process;
    QString path;
    QByteArray errors;
};

// The program's end of the line: the pty slave opened as a serial port would be.
struct Line
{
    explicit Line(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios t {};
        if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~Line()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool send(const QByteArray &bytes)
    {
        return ::write(fd, bytes.constData(), bytes.size()) == bytes.size();
    }
    // Reads until `done` holds or the time runs out, counting the reads it took.
    template <typename Done> QByteArray read(Done done, int timeoutMs = 3000)
    {
        QByteArray in;
        QDeadlineTimer deadline(timeoutMs);
        while (!done(in) && !deadline.hasExpired()) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, 10) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                in.append(buf, n);
                ++reads;
            }
        }
        return in;
    }
    QByteArray reply()
    {
        return read(
            [](const QByteArray &in) { return in.endsWith("!\r\n") || in.endsWith("?\r\n"); });
    }
    int fd;
    int reads = 0;
};

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void exchange_data()
    {
        QTest::addColumn<QByteArrayList>("commands");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::newRow("SETU") << QByteArrayList { "SETU" } << QByteArrayList { defaults };
        QTest::newRow("ST") << QByteArrayList { "ST" } << QByteArrayList { "ST COD=f00dd.0 !\r\n" };
        QTest::newRow("port write")
            << QByteArrayList { prefix + "SETU BD2=4800 PA2=N PROT2=M", "SETU" }
            << QByteArrayList { "OK!\r\n",
                   settings({ { "BD2=9600", "BD2=4800" }, { "PA2=P", "PA2=N" },
                       { "PROT2=T", "PROT2=M" } }) };
        QTest::newRow("PR beside PROT")
            << QByteArrayList { prefix + "SETU PR3=N PROT3=E", "SETU" }
            << QByteArrayList { "OK!\r\n",
                   settings({ { "PR3=O", "PR3=N" }, { "PROT3=T", "PROT3=E" } }) };
        QTest::newRow("no clause")
            << QByteArrayList { prefix + "SETU", "SETU" } << QByteArrayList { "OK!\r\n", defaults };
        QTest::newRow("RGS write") << QByteArrayList { prefix + "ST COD=f12dd.3", "ST" }
                                   << QByteArrayList { "OK!\r\n", "ST COD=f12dd.3 !\r\n" };
        QTest::newRow("unknown") << QByteArrayList { "HELLO" } << QByteArrayList { "?\r\n" };
        QTest::newRow("empty") << QByteArrayList { "" } << QByteArrayList { "?\r\n" };
        QTest::newRow("port 4") << QByteArrayList { prefix + "SETU BD1=4800 BD4=4800", "SETU" }
                                << QByteArrayList { "ERR?\r\n", defaults };
        QTest::newRow("unknown key") << QByteArrayList { prefix + "SETU BD1=4800 XX1=4", "SETU" }
                                     << QByteArrayList { "ERR?\r\n", defaults };
        QTest::newRow("no value") << QByteArrayList { prefix + "SETU PR1=", "SETU" }
                                  << QByteArrayList { "ERR?\r\n", defaults };
        QTest::newRow("malformed RGS") << QByteArrayList { prefix + "ST COD=f12d.3", "ST" }
                                       << QByteArrayList { "ERR?\r\n", "ST COD=f00dd.0 !\r\n" };
        QTest::newRow("7 data bits, LF ignored")
            << QByteArrayList { "\n\xd3\xc5TU" } << QByteArrayList { defaults };
    }

    void exchange()
    {
        QFETCH(QByteArrayList, commands);
        QFETCH(QByteArrayList, replies);
        Sim sim;
        Line line(sim.path);
        QVERIFY2(line.fd >= 0, qPrintable(sim.path));
        for (qsizetype i = 0; i < commands.size(); ++i) {
            QVERIFY(line.send(commands[i] + '\r'));
            QCOMPARE(line.reply(), replies[i]);
        }
    }

    void chunked()
    {
        Sim sim({ "--chunk", "3" });
        Line line(sim.path);
        QVERIFY(line.send("SETU\r"));
        QCOMPARE(line.reply(), defaults);
        QVERIFY(line.reads > 1);
    }

    void noiseAndDelay()
    {
        Sim sim({ "--noise", "5", "--delay", "200" });
        Line line(sim.path);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(line.send("ST\r"));
        const QByteArray reply = line.reply();
        QVERIFY(clock.elapsed() >= 190);
        QCOMPARE(reply.size(), 5 + 18);
        QCOMPARE(reply.mid(5), "ST COD=f00dd.0 !\r\n");
    }

    void reopen()
    {
        Sim sim;
        {
            Line line(sim.path);
            QVERIFY(line.send("ST\r"));
            QCOMPARE(line.reply(), "ST COD=f00dd.0 !\r\n");
        }
        Line again(sim.path);
        QVERIFY(again.send("SETU\r"));
        QCOMPARE(again.reply(), defaults);
    }

    void stream()
    {
        Sim sim({ "--stream", "200", "--duration", "0.5" });
        Line line(sim.path);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(line.send("SETU\r"));
        const QByteArray bangs = line.read([](const QByteArray &in) { return in.size() >= 100; });
        QCOMPARE(bangs, QByteArray(100, '!'));
        QVERIFY(clock.elapsed() >= 450);
        QTRY_VERIFY(
            (sim.errors += sim.process.readAllStandardError()).contains("sent 100 replies"));
        QVERIFY(line.send("ST\r"));
        QCOMPARE(line.reply(), "ST COD=f00dd.0 !\r\n");
    }

    void flood()
    {
        Sim sim({ "--flood", "100000", "--terminator-every", "100", "--seed", "3" });
        Line line(sim.path);
        QVERIFY(line.send("SETU\r"));
        const QByteArray bytes
            = line.read([](const QByteArray &in) { return in.size() >= 100000; });
        QCOMPARE(bytes.size(), 100000);
        const auto terminators = bytes.count('!');
        QVERIFY(terminators > 500 && terminators < 2000);
        QCOMPARE(bytes.count('?'), 0);
        QTRY_VERIFY((sim.errors += sim.process.readAllStandardError())
                        .contains(QByteArray::number(terminators) + " terminators"));
    }

    void terminate()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("device"));
        Sim sim({ "--link", link });
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.path);
        ::kill(pid_t(sim.process.processId()), SIGTERM);
        QVERIFY(sim.process.waitForFinished(3000));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"

// libFuzzer target: typed text through the command builders and Module1::EnvoiCommande, with a
// trace attached and no PC port open. Every invariant below aborts when broken.
//
// Input: byte 0 holds the flags (bit 0: the trace starts nearly full, so entries make it drop
// its oldest lines; bits 1-2: the device port, "1" to "3"; bit 3: also send the text repeated to
// about the length limit), byte 1 where the text splits between
// the protection and protocol boxes, byte 2 which clauses a write carries (low 6 bits) and how
// long the long command at the limit is (high 2 bits). The rest is the typed text, read as
// UTF-8, as Windows-1252 and as UTF-16 (the last reaches lone surrogates, which a paste can
// bring into a box).

#include "commands/commands.h"
#include "link/codepage.h"
#include "link/exchangetrace.h"
#include "link/module1.h"
#include "link/serialcontrol.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr qsizetype maxCommand = Module1::maxCommandLength; // 32765
constexpr qsizetype maxTrace = ExchangeTrace::maxLength; // 65533
const QString lineEnd = QStringLiteral("\r\n");

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_commands: invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char *what)
{
    if (!ok)
        fail(what);
}

// The escape rule, written apart from EchapperTexte, on the bytes that go on the wire: the trace
// shows the line exactly as it goes out.
QString escaped(const QString &text)
{
    QString out;
    for (const char b : codepage::toBytes(text)) {
        const int code = static_cast<unsigned char>(b);
        if (code < 31 || code > 122)
            out += QLatin1Char('$') + QString::number(code);
        else
            out += QLatin1Char(char(code));
    }
    return out;
}

const QString &nearlyFullTrace()
{
    static const QString full = [] {
        QString text;
        const QString line = QStringLiteral("R: OK!$13$10") + lineEnd;
        while (text.size() + line.size() <= maxTrace - 40)
            text += line;
        return text;
    }();
    return full;
}

struct Session
{
    ExchangeTrace &trace;
    QStringList appended;
    int resets = 0;
    int removals = 0;

    void send(const QString &command)
    {
        const QString before = trace.text();
        const qsizetype entriesBefore = trace.entryCount();
        appended.clear();
        resets = 0;
        removals = 0;

        const Module1::SendResult result = Module1::EnvoiCommande(command);
        check(trace.length() <= maxTrace, "the trace passed 65533 characters");

        if (command.size() > maxCommand) {
            check(
                result == Module1::SendResult::TooLong, "a command past the limit was not refused");
            check(appended.isEmpty() && resets == 0 && removals == 0,
                "a refused command touched the trace");
            check(trace.text() == before && trace.entryCount() == entriesBefore,
                "a refused command changed the trace");
            check(!Module1::describe(result).isEmpty(), "no message for a refused command");
            return;
        }

        check(result == Module1::SendResult::NoPortOpen, "sent with no port open");
        check(!Module1::describe(result).isEmpty(), "no message for a command not sent");
        check(trace.entryCount() == entriesBefore + 1, "not exactly one entry");
        const QString entry
            = QStringLiteral("Q: ") + escaped(command) + QStringLiteral("$13") + lineEnd;
        for (qsizetype i = 3; i < entry.size() - 2; ++i)
            check(entry[i].unicode() >= 31 && entry[i].unicode() <= 122,
                "an unescaped character in an outgoing entry");

        if (entry.size() > maxTrace) {
            // Alone longer than the trace: only its end is kept.
            check(appended.isEmpty() && resets == 1, "a long entry did not replace the trace");
            check(trace.text() == entry.right(maxTrace), "a long entry's end is not the trace");
            return;
        }
        check(resets == 0 && appended.size() == 1, "not exactly one entry appended");
        check(appended.first() == entry, "the outgoing entry differs from \"Q: \", escaped, $13");
        const QStringView kept(trace.text());
        if (removals == 0) {
            check(kept.size() == before.size() + entry.size() && kept.startsWith(before)
                    && kept.endsWith(entry),
                "the trace is not the old text and the entry");
            return;
        }
        // The oldest whole lines went, and no more than needed.
        check(before.size() + entry.size() > maxTrace, "lines dropped from a trace with room");
        const qsizetype start = before.size() + entry.size() - kept.size();
        check(start >= 2 && start <= before.size() && kept.endsWith(entry)
                && kept.chopped(entry.size()) == QStringView(before).sliced(start),
            "the trace is not the end of the old text and the entry");
        check(
            QStringView(before).sliced(start - 2, 2) == lineEnd, "the trace starts inside a line");
        const qsizetype previous = before.lastIndexOf(lineEnd, start - 3);
        check(previous < 0 || before.size() + entry.size() - (previous + 2) > maxTrace,
            "more lines dropped than needed");
    }
};

void checkPortWrite(
    const QString &command, const QString &port, const commands::PortClauses &clauses)
{
    QString expected = QStringLiteral("ID KESTREL TOWER SETU");
    const auto clause = [&](const char *key, const std::optional<QString> &value) {
        if (value)
            expected += QLatin1Char(' ') + QLatin1String(key) + port + QLatin1Char('=') + *value;
    };
    clause("BD", clauses.speed);
    clause("PA", clauses.parity);
    clause("LG", clauses.dataBits);
    clause("ST", clauses.stopBits);
    clause("PR", clauses.protection);
    clause("PROT", clauses.protocol);
    check(command == expected, "a port-configuration write differs from its clauses");
}

void exercise(Session &session, const QString &typed, std::uint8_t splitByte,
    std::uint8_t clauseByte, const QString &port, bool atTheLimit)
{
    const qsizetype split = typed.size() * splitByte / 256;
    commands::PortClauses offered;
    offered.speed = QStringLiteral("9600");
    offered.parity = QStringLiteral("P");
    offered.dataBits = QStringLiteral("7");
    offered.stopBits = QStringLiteral("1");
    offered.protection = typed.left(split);
    offered.protocol = typed.mid(split);
    const QString everyClause = commands::portConfigWrite(port, offered);
    checkPortWrite(everyClause, port, offered);
    session.send(everyClause);

    commands::PortClauses chosen;
    std::optional<QString> *fields[] = { &chosen.speed, &chosen.parity, &chosen.dataBits,
        &chosen.stopBits, &chosen.protection, &chosen.protocol };
    for (int i = 0; i < 6; ++i) {
        if (clauseByte & (1 << i))
            *fields[i] = typed;
    }
    const QString someClauses = commands::portConfigWrite(port, chosen);
    checkPortWrite(someClauses, port, chosen);
    session.send(someClauses);

    const QString padded = commands::padRgsAddress(typed);
    if (typed.size() < 3) {
        check(padded.size() == 3 && padded.endsWith(typed)
                && padded.first(3 - typed.size()) == QString(3 - typed.size(), QLatin1Char('0')),
            "an address not padded with zeros to three characters");
    } else {
        check(padded == typed, "an address of three or more characters changed");
    }
    const QString address = commands::rgsAddressWrite(padded);
    check(address
            == QStringLiteral("ID KESTREL TOWER ST COD=f") + padded.left(2) + QStringLiteral("dd.")
                + padded.mid(2, 1),
        "an RGS address write differs from its address");
    session.send(address);

    session.send(typed);

    // Around the limit: 32764 to 32767 characters of the typed text, repeated.
    if (atTheLimit && !typed.isEmpty()) {
        const qsizetype length = maxCommand - 1 + (clauseByte >> 6);
        QString atLimit;
        atLimit.reserve(length);
        while (atLimit.size() < length)
            atLimit += typed.left(length - atLimit.size());
        session.send(atLimit);
    }
}

SerialControl *closedControl = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static SerialControl control; // never opened: every command is traced, not sent
    closedControl = &control;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const QByteArray text(reinterpret_cast<const char *>(data) + 3, qsizetype(size - 3));
    const QString port = QString::number(1 + (data[0] >> 1 & 3) % 3);

    ExchangeTrace trace;
    if (data[0] & 1)
        trace.append(nearlyFullTrace());
    Module1::attach({ closedControl, &trace });

    Session session { trace, {}, 0, 0 };
    QObject::connect(&trace, &ExchangeTrace::textAppended, &trace,
        [&](const QString &added) { session.appended << added; });
    QObject::connect(&trace, &ExchangeTrace::textReset, &trace, [&] { ++session.resets; });
    QObject::connect(&trace, &ExchangeTrace::linesRemoved, &trace, [&](qsizetype lines) {
        check(lines > 0, "no line removed to make room");
        ++session.removals;
    });

    // The command at the limit is long to build and trace: once, and only when asked for.
    const bool atTheLimit = data[0] & 8;
    exercise(session, QString::fromUtf8(text), data[1], data[2], port, false);
    exercise(session, codepage::toText(text), data[1], data[2], port, atTheLimit);
    QString utf16(text.size() / 2, Qt::Uninitialized);
    std::memcpy(utf16.data(), text.constData(), size_t(utf16.size()) * sizeof(QChar));
    exercise(session, utf16, data[1], data[2], port, false);

    Module1::detach();
    return 0;
}

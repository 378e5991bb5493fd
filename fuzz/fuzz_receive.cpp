// libFuzzer target: the receive path, from the bytes the terminal driver hands over to the
// exchange trace. Arbitrary line bytes, cut into reads at boundaries chosen by the input, go
// through ParityMarkDecoder, the code page, the reception's buffer and its reply rule, the escape
// rule and the trace's cap. Every invariant below aborts when broken.
//
// Input: byte 0 holds the flags (low 5 bits: how many cut bytes follow; bit 5: the trace starts
// nearly full, so entries make it drop its oldest lines). Then the cut bytes, used in turn,
// again and again, for the reads:
// bit 7 set means no receive event after that read (the bytes wait in the control's input
// buffer); the low 7 bits are the read's length: 0 an empty event, 1 to 95 that many bytes,
// 96 to 127 (n - 95) KiB, so a reply reaches the 32766-character bound. The rest is the line.
//
// The path into the reception is the program's own: each read goes through
// SerialControl::takeIncoming (the parity marks, the control's input buffer) and each receive
// event runs Module1::ReceptionCaracteres, which takes the control's Input().

#include "link/codepage.h"
#include "link/exchangetrace.h"
#include "link/module1.h"
#include "link/paritymarks.h"
#include "link/serialcontrol.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QSignalBlocker>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr qsizetype maxReply = Module1::maxReplyLength; // 32766
constexpr qsizetype maxTrace = ExchangeTrace::maxLength; // 65533
const QString lineEnd = QStringLiteral("\r\n");
const QString separator = QString(Module1::separatorLength, QLatin1Char('-')) + lineEnd;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_receive: invariant broken: %s\n", what);
    std::abort();
}

void check(bool ok, const char *what)
{
    if (!ok)
        fail(what);
}

bool isTerminator(QChar c)
{
    return c == QLatin1Char('!') || c == QLatin1Char('?');
}

bool hasTerminator(QStringView text)
{
    return std::any_of(text.cbegin(), text.cend(), isTerminator);
}

// The parity translation over the whole stream at once, written apart from ParityMarkDecoder:
// 0377 0 c is "?", 0377 0377 one 0377, 0377 then any other byte both bytes; an unfinished
// sequence at the end waits. Reads cut anywhere must give the same bytes.
QByteArray translated(QByteArrayView raw)
{
    constexpr char mark = '\377';
    QByteArray out;
    qsizetype i = 0;
    while (i < raw.size()) {
        if (raw[i] != mark) {
            out += raw[i++];
            continue;
        }
        if (i + 1 >= raw.size())
            break;
        const char next = raw[i + 1];
        if (next == mark) {
            out += mark;
            i += 2;
        } else if (next == '\0') {
            if (i + 2 >= raw.size())
                break;
            out += '?';
            i += 3;
        } else {
            out += mark;
            out += next;
            i += 2;
        }
    }
    return out;
}

// The escape rule on a line byte, written apart from EchapperTexte.
const QString &escapedByte(unsigned char b)
{
    static const auto table = [] {
        std::array<QString, 256> t;
        for (int i = 0; i < 256; ++i)
            t[i] = i < 31 || i > 122 ? QLatin1Char('$') + QString::number(i)
                                     : QString(QLatin1Char(char(i)));
        return t;
    }();
    return table[b];
}

QString escapedBytes(QByteArrayView bytes)
{
    QString out;
    for (const char b : bytes)
        out += escapedByte(static_cast<unsigned char>(b));
    return out;
}

struct Entry
{
    QString text;
    bool cut = false; // longer than the trace on its own: only its last maxTrace characters
};

// The receive event, with the checks of what it may do. `incoming` is what the reads since the
// last event put in the control's input buffer, as a second decoder fed the same reads saw it.
void deliverEvent(SerialControl &comm, const QByteArray &incomingBytes,
    const std::vector<Entry> &entries)
{
    const qsizetype before = Module1::TamponReception.size();
    const size_t entriesBefore = entries.size();
    check(comm.InBufferCount() == incomingBytes.size(), "the control's input buffer lost bytes");
    Module1::ReceptionCaracteres();
    check(comm.InBufferCount() == 0, "the receive event left characters in the control");
    if (incomingBytes.isEmpty()) {
        check(Module1::TamponReception.size() == before, "an empty event changed the buffer");
        check(entries.size() == entriesBefore, "an empty event traced something");
        return;
    }
    const QString incoming = codepage::toText(incomingBytes);
    const bool terminated = hasTerminator(incoming);

    // Within the bound one event hands over at most one reply, whole, with what came behind its
    // terminator; without a terminator the buffer keeps everything, until it reaches the bound.
    const qsizetype total = before + incoming.size();
    const size_t added = entries.size() - entriesBefore;
    if (total <= maxReply) {
        if (terminated || total == maxReply) {
            check(added == 1, "a completed reply did not give exactly one entry");
            check(Module1::TamponReception.isEmpty(), "the buffer kept a completed reply");
        } else {
            check(added == 0, "an entry without a terminator below the bound");
            check(Module1::TamponReception.size() == total, "the buffer lost characters");
        }
    } else {
        check(added >= 1, "the buffer passed the bound without an entry");
    }
    check(Module1::TamponReception.size() < maxReply, "the buffer reached the bound");
    // What the buffer held before had no terminator; only what this event brought is new.
    check(!hasTerminator(QStringView(Module1::TamponReception).right(incoming.size())),
        "a terminator stays in the buffer");
}

// An incoming entry: "R: ", the escaped reply, CR LF, the separator line. Returns the escaped
// reply, or for a cut entry what is left of it.
QString escapedReply(const Entry &entry)
{
    const QString tail = lineEnd + separator;
    check(entry.text.endsWith(tail), "an incoming entry without its separator line");
    QStringView body = QStringView(entry.text).chopped(tail.size());
    if (!entry.cut) {
        check(body.startsWith(QLatin1StringView("R: ")), "an incoming entry without \"R: \"");
        body = body.mid(3);
    }
    for (const QChar c : body)
        check(c.unicode() >= 31 && c.unicode() <= 122, "an unescaped character in the trace");
    return body.toString();
}

// A reply as the rules allow it: 1 to 32766 characters, ended (somewhere) by a terminator
// unless it stopped at the bound.
void checkReply(QByteArrayView reply)
{
    check(!reply.isEmpty(), "an empty reply");
    check(reply.size() <= maxReply, "a reply longer than 32766 characters");
    check(reply.size() == maxReply || reply.contains('!') || reply.contains('?'),
        "a reply without a terminator below the bound");
}

// The replies, joined, and the buffer are exactly the translated line. The trace holds the
// replies escaped, and the escape rule is not one to one (a received "$13" and a received CR
// both show as "$13"), so the trace cannot be unescaped alone. Instead the translated bytes are
// escaped one by one and matched against the entries in order: each byte's escape must come next
// in the entry, and an entry ends exactly at a byte boundary. This is sound (a match means the
// entries are the escapes of consecutive runs of the fed bytes, in order, with nothing missing,
// added or reordered) and tells where each reply starts and ends, so each reply's own length
// and terminator are checked too. A cut entry (an escaped reply longer than the trace) keeps
// only its end: the walk goes forward up to it and backward from the buffer down to it, and a
// lone cut entry between the two must be the escape of what is left, its end as kept.
void checkReplies(const QByteArray &fed, const std::vector<Entry> &entries)
{
    const QByteArray buffered = codepage::toBytes(Module1::TamponReception);
    check(codepage::toText(buffered) == Module1::TamponReception, "the buffer left the code page");
    check(fed.endsWith(buffered), "the buffer is not the end of what was fed");

    qsizetype forward = 0;
    size_t first = 0;
    for (; first < entries.size() && !entries[first].cut; ++first) {
        const QString body = escapedReply(entries[first]);
        const qsizetype start = forward;
        qsizetype at = 0;
        while (at < body.size()) {
            check(forward < fed.size(), "an entry shows more than was fed");
            const QString &e = escapedByte(static_cast<unsigned char>(fed[forward]));
            check(QStringView(body).mid(at, e.size()) == e, "an entry differs from what was fed");
            at += e.size();
            ++forward;
        }
        checkReply(QByteArrayView(fed).sliced(start, forward - start));
    }

    qsizetype backward = fed.size() - buffered.size();
    size_t last = entries.size();
    for (; last > first && !entries[last - 1].cut; --last) {
        const QString body = escapedReply(entries[last - 1]);
        const qsizetype end = backward;
        qsizetype at = body.size();
        while (at > 0) {
            check(backward > forward, "an entry shows more than was fed");
            const QString &e = escapedByte(static_cast<unsigned char>(fed[backward - 1]));
            check(at >= e.size() && QStringView(body).mid(at - e.size(), e.size()) == e,
                "an entry differs from what was fed");
            at -= e.size();
            --backward;
        }
        checkReply(QByteArrayView(fed).sliced(backward, end - backward));
    }

    if (first == entries.size()) {
        check(forward == fed.size() - buffered.size(), "fed bytes missing from the trace");
        return;
    }
    check(backward >= forward, "entries overlap");
    for (size_t i = first; i < last; ++i) {
        escapedReply(entries[i]);
        check(entries[i].text.size() == maxTrace, "a cut entry is not as long as the trace");
    }
    if (last - first == 1) {
        const QByteArrayView reply = QByteArrayView(fed).sliced(forward, backward - forward);
        checkReply(reply);
        const QString whole = QStringLiteral("R: ") + escapedBytes(reply) + lineEnd + separator;
        check(whole.size() > maxTrace, "an entry was cut that fits the trace");
        check(whole.right(maxTrace) == entries[first].text, "a cut entry is not the entry's end");
    }
}

const QString &nearlyFullTrace()
{
    static const QString full = [] {
        QString text;
        const QString line = QStringLiteral("Q: ST$13") + lineEnd;
        while (text.size() + line.size() <= maxTrace - 40)
            text += line;
        return text;
    }();
    return full;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // The code page's one-to-one mapping, which the escape comparison relies on.
    for (int b = 0; b < 256; ++b) {
        const QByteArray one(1, char(b));
        const QString text = codepage::toText(one);
        check(text.size() == 1 && codepage::toBytes(text) == one,
            "the code page does not map a byte to one character and back");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    const size_t cutCount = std::min<size_t>(flags & 0x1f, size - 1);
    const std::uint8_t *cuts = data + 1;
    const QByteArrayView raw(
        reinterpret_cast<const char *>(data) + 1 + cutCount, qsizetype(size - 1 - cutCount));

    SerialControl comm;
    ExchangeTrace trace;
    if (flags & 0x20)
        trace.append(nearlyFullTrace());
    Module1::attach({ &comm, &trace });
    Module1::TamponReception.clear();

    std::vector<Entry> entries;
    qsizetype lines = trace.text().count(lineEnd);
    bool startsAtLine = true; // false while the trace starts inside a cut entry
    QObject::connect(&trace, &ExchangeTrace::textAppended, &trace, [&](const QString &added) {
        check(added.endsWith(lineEnd), "an entry without its line end");
        check(trace.length() <= maxTrace, "the trace passed 65533 characters");
        check(trace.text().endsWith(added), "the trace does not end with the new entry");
        lines += added.count(lineEnd);
        entries.push_back({ added, false });
    });
    QObject::connect(&trace, &ExchangeTrace::textReset, &trace, [&] {
        check(trace.length() == maxTrace, "a reset trace is not the end of its entry");
        lines = trace.text().count(lineEnd);
        startsAtLine = false;
        entries.push_back({ trace.text(), true });
    });
    QObject::connect(&trace, &ExchangeTrace::linesRemoved, &trace, [&](qsizetype removed) {
        check(removed > 0, "no line removed to make room");
        lines -= removed;
        startsAtLine = true;
    });

    // The events are delivered here, each after its read, so the control's own notification
    // stays blocked; a second decoder fed the same reads says what each event should find.
    const QSignalBlocker quiet(&comm);
    ParityMarkDecoder shadow;
    QByteArray waiting;
    qsizetype at = 0;
    size_t cut = 0;
    size_t idle = 0; // reads in a row that took no byte: at most one round of the cuts
    while (at < raw.size()) {
        qsizetype length = raw.size() - at;
        bool event = true;
        if (cutCount > 0) {
            const std::uint8_t c = cuts[cut++ % cutCount];
            const int code = c & 0x7f;
            event = !(c & 0x80);
            length = code < 96 ? code : (code - 95) * 1024;
            if (length == 0 && ++idle > cutCount)
                length = raw.size() - at;
            else if (length > 0)
                idle = 0;
        }
        length = std::min(length, raw.size() - at);
        comm.takeIncoming(raw.sliced(at, length));
        waiting += shadow.feed(raw.sliced(at, length));
        at += length;
        if (event) {
            deliverEvent(comm, waiting, entries);
            waiting.clear();
        }
    }
    deliverEvent(comm, waiting, entries);

    const QByteArray fed = translated(raw);
    checkReplies(fed, entries);

    check(trace.length() <= maxTrace, "the trace passed 65533 characters");
    check(trace.text().count(lineEnd) == lines, "lines lost or gained in the trace");
    // Lines go whole: the trace starts with an entry's first line or a separator line.
    check(!startsAtLine || trace.text().isEmpty()
            || trace.text().startsWith(QLatin1StringView("Q: "))
            || trace.text().startsWith(QLatin1StringView("R: "))
            || trace.text().startsWith(separator),
        "the trace starts inside a line");

    Module1::detach();
    Module1::TamponReception.clear();
    return 0;
}

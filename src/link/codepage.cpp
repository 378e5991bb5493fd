#include "link/codepage.h"

#include <QHash>
#include <QStringDecoder>

#include <array>

namespace codepage {

namespace {

// The code page's 256 characters, taken once from the system's converter; both directions
// are then plain look-ups, cheap enough for every byte on the line.
struct Table
{
    std::array<char16_t, 256> toUnicode {};
    QHash<char16_t, unsigned char> toByte;

    Table()
    {
        QByteArray all(256, Qt::Uninitialized);
        for (int i = 0; i < 256; ++i)
            all[i] = static_cast<char>(i);
        QStringDecoder decoder("windows-1252", QStringConverter::Flag::Stateless);
        const QString chars = decoder.isValid() ? decoder.decode(all) : QString::fromLatin1(all);
        for (int i = 0; i < 256; ++i) {
            // Latin-1 stands in for a byte the converter does not map one to one.
            const char16_t u = chars.size() == 256 ? chars[i].unicode() : char16_t(i);
            toUnicode[i] = u;
            toByte.insert(u, static_cast<unsigned char>(i));
        }
    }
};

const Table &table()
{
    static const Table t;
    return t;
}

} // namespace

QString toText(QByteArrayView bytes)
{
    const Table &t = table();
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char b : bytes)
        *out++ = QChar(t.toUnicode[static_cast<unsigned char>(b)]);
    return text;
}

QByteArray toBytes(QStringView text)
{
    const Table &t = table();
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            bytes += '?';
            ++i;
            continue;
        }
        const auto it = t.toByte.constFind(u);
        bytes += it == t.toByte.cend() ? '?' : static_cast<char>(*it);
    }
    return bytes;
}

} // namespace codepage

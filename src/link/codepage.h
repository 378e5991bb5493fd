#pragma once

#include <QByteArray>
#include <QString>

// The line and the trace speak Windows-1252 (Western European ANSI): one byte a character.
namespace codepage {

// Every byte maps to one character and back, the five bytes Windows-1252 leaves undefined
// included, so whatever arrives on the line is traced byte for byte.
QString toText(QByteArrayView bytes);

// A character Windows-1252 cannot hold goes out as "?", one per code point.
QByteArray toBytes(QStringView text);

} // namespace codepage

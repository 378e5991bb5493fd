#pragma once

#include <QString>

#include <cstdio>

// One row of the table `make bench` and `make soak` print (bench/run.sh prints its header):
// figure, value, target, met or missed. Details go to standard error, never here.
namespace bench {

inline constexpr int figureWidth = 44;
inline constexpr int valueWidth = 52;
inline constexpr int targetWidth = 22;

inline void row(const QString &figure, const QString &value, const QString &target, bool met)
{
    const QString line = figure.leftJustified(figureWidth) + QLatin1Char(' ')
        + value.leftJustified(valueWidth) + QLatin1Char(' ') + target.leftJustified(targetWidth)
        + QLatin1Char(' ') + (met ? QStringLiteral("met") : QStringLiteral("MISSED"));
    std::printf("%s\n", qUtf8Printable(line));
    std::fflush(stdout);
}

} // namespace bench

#include "link/exchangetrace.h"

namespace {
const QLatin1StringView lineEnd("\r\n");
}

void ExchangeTrace::append(const QString &entry)
{
    ++m_entries;
    const qsizetype total = m_text.size() + entry.size();
    if (total <= maxLength) {
        m_text += entry;
        Q_EMIT textAppended(entry);
        return;
    }

    if (entry.size() > maxLength) {
        m_text = entry.right(maxLength);
        Q_EMIT textReset();
        return;
    }

    // Drop the oldest whole lines: cut at the first line start that leaves room for the entry.
    // Every entry ends with a line end, so the old text's end is always such a line start.
    const qsizetype excess = total - maxLength;
    qsizetype cut = m_text.indexOf(lineEnd, qMax<qsizetype>(excess - lineEnd.size(), 0));
    cut = cut < 0 ? m_text.size() : cut + lineEnd.size();
    const qsizetype lines = QStringView(m_text).left(cut).count(lineEnd);
    m_text.remove(0, cut);
    m_text += entry;
    Q_EMIT linesRemoved(lines);
    Q_EMIT textAppended(entry);
}

void ExchangeTrace::clear()
{
    m_text.clear();
    m_entries = 0;
    Q_EMIT textReset();
}

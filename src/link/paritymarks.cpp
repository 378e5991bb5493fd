#include "link/paritymarks.h"

QByteArray ParityMarkDecoder::feed(QByteArrayView raw)
{
    constexpr char mark = '\377';
    QByteArray out;
    out.reserve(raw.size() + 2);
    for (const char c : raw) {
        switch (m_state) {
        case State::Plain:
            if (c == mark)
                m_state = State::Mark;
            else
                out += c;
            break;
        case State::Mark:
            if (c == '\0') {
                m_state = State::MarkZero;
            } else {
                // 0377 0377 is one real 0377; anything else after a lone mark is kept as it came.
                out += mark;
                if (c != mark)
                    out += c;
                m_state = State::Plain;
            }
            break;
        case State::MarkZero:
            out += '?';
            m_state = State::Plain;
            break;
        }
    }
    return out;
}

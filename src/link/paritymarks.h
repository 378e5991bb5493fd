#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The terminal driver marks a character received with a parity or framing error as the three
// bytes 0377 0 c, and a genuine 0377 as 0377 0377. The line shows such a character as "?".
// A marked sequence may be split across reads; the unfinished part waits for the next one.
class ParityMarkDecoder
{
public:
    QByteArray feed(QByteArrayView raw);
    void reset() { m_state = State::Plain; }

private:
    enum class State { Plain, Mark, MarkZero };
    State m_state = State::Plain;
};

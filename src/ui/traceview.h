#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class ExchangeTrace;
class QPlainTextEdit;

// Shows an exchange trace in a read-only text box. The box follows the trace incrementally:
// lines dropped at the front are removed, new text is inserted at the end, and the changes of
// one turn of the event loop reach the box as one update, so a stream of tiny replies cannot
// freeze the window. The caret is put at the end after every update.
class TraceView : public QObject
{
    Q_OBJECT

public:
    TraceView(ExchangeTrace *trace, QPlainTextEdit *box);

    // Brings the box up to date now rather than at the next turn of the event loop.
    void flush();

private:
    void scheduleFlush();
    void onLinesRemoved(qsizetype lines);
    void onTextAppended(const QString &added);
    void onTextReset();

    ExchangeTrace *m_trace;
    QPointer<QPlainTextEdit> m_box;
    qsizetype m_pendingRemoved = 0;
    QString m_pendingText;
    bool m_pendingReset = false;
    bool m_flushQueued = false;
};

#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>

class ExchangeTrace;
class QPlainTextEdit;

// Shows an exchange trace in a read-only text box. The box follows the trace incrementally:
// lines dropped at the front are removed and new text is inserted at the end. A change reaches
// the box at the next turn of the event loop, but the box is brought up to date at most once
// per refresh interval: a stream of tiny replies then costs one repaint for many entries
// instead of one each, and cannot freeze the window. The caret is put at the end after every
// update.
class TraceView : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds refreshInterval { 50 };

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
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
};

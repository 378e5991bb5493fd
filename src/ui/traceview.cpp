#include "ui/traceview.h"

#include "link/exchangetrace.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>

namespace {

// The box holds one block per trace line; the trace's CR LF line ends become block breaks.
QString asBoxText(QString text)
{
    return text.replace(QLatin1StringView("\r\n"), QLatin1StringView("\n"));
}

} // namespace

TraceView::TraceView(ExchangeTrace *trace, QPlainTextEdit *box)
    : QObject(box)
    , m_trace(trace)
    , m_box(box)
{
    box->document()->setUndoRedoEnabled(false);
    // The trace is Latin text in a fixed-pitch face, which needs no shaping; skipping it makes
    // laying out a long reply markedly cheaper.
    QFont font = box->font();
    font.setStyleStrategy(QFont::StyleStrategy(font.styleStrategy() | QFont::PreferNoShaping));
    box->setFont(font);
    box->setPlainText(asBoxText(trace->text()));
    box->moveCursor(QTextCursor::End);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_flushTimer, &QTimer::timeout, this, &TraceView::flush);
    connect(trace, &ExchangeTrace::linesRemoved, this, &TraceView::onLinesRemoved);
    connect(trace, &ExchangeTrace::textAppended, this, &TraceView::onTextAppended);
    connect(trace, &ExchangeTrace::textReset, this, &TraceView::onTextReset);
}

void TraceView::scheduleFlush()
{
    if (m_flushTimer.isActive())
        return;
    const auto since = std::chrono::milliseconds(
        m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : refreshInterval.count());
    m_flushTimer.start(std::max(std::chrono::milliseconds(0), refreshInterval - since));
}

void TraceView::onLinesRemoved(qsizetype lines)
{
    if (m_pendingReset)
        return;
    // Lines not yet shown go first from the pending text's front only once the box's own
    // lines are used up; that is settled at flush time.
    m_pendingRemoved += lines;
    scheduleFlush();
}

void TraceView::onTextAppended(const QString &added)
{
    if (!m_pendingReset) {
        m_pendingText += added;
        // More waiting than the trace can hold: the box will take the trace's whole text.
        if (m_pendingText.size() > ExchangeTrace::maxLength)
            onTextReset();
    }
    scheduleFlush();
}

void TraceView::onTextReset()
{
    m_pendingReset = true;
    m_pendingRemoved = 0;
    m_pendingText.clear();
    scheduleFlush();
}

void TraceView::flush()
{
    m_flushTimer.stop();
    m_sinceFlush.start();
    if (!m_box)
        return;

    if (m_pendingReset) {
        m_box->setPlainText(asBoxText(m_trace->text()));
    } else {
        QTextDocument *doc = m_box->document();
        // The box's text always ends with a line end, leaving one empty block behind it.
        const qsizetype shown = doc->blockCount() - 1;
        const qsizetype fromBox = qMin(m_pendingRemoved, shown);
        // One edit block: a cursor moved outside one lays out every block it lands on, and
        // block by block that is every line about to be removed.
        QTextCursor cursor(doc);
        cursor.beginEditBlock();
        if (fromBox > 0) {
            cursor.setPosition(
                doc->findBlockByNumber(int(fromBox)).position(), QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
        }
        qsizetype fromPending = m_pendingRemoved - fromBox;
        qsizetype start = 0;
        while (fromPending-- > 0 && start < m_pendingText.size()) {
            const qsizetype end = m_pendingText.indexOf(QLatin1StringView("\r\n"), start);
            start = end < 0 ? m_pendingText.size() : end + 2;
        }
        if (start < m_pendingText.size()) {
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(asBoxText(m_pendingText.mid(start)));
        }
        cursor.endEditBlock();
    }
    m_pendingReset = false;
    m_pendingRemoved = 0;
    m_pendingText.clear();
    m_box->moveCursor(QTextCursor::End);
}

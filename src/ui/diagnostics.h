#pragma once

class ExchangeTrace;
class QPlainTextEdit;
class SerialControl;

// Figures for the benchmark and soak programs, off unless TESSALY_DIAGNOSTICS names a file.
// When on, the program counts the trace's entries in each direction, the characters received
// and how many still wait for their terminator, the trace box's repaints, and the longest gap
// between the ticks of a 10 ms timer (the event loop's longest stall). The file is rewritten as
// `key=value` lines every 500 ms, at exit and on SIGTERM or SIGINT, so a harness that stops the
// program still reads fresh figures. When off, both calls return at once.
namespace Diagnostics {

inline constexpr char variable[] = "TESSALY_DIAGNOSTICS";

void start();

// Follows the main window's link. Call it before the window connects its own receive handler:
// the characters are counted as they arrive, before the handler takes them.
void watch(SerialControl &comm, ExchangeTrace &trace, QPlainTextEdit *box);

} // namespace Diagnostics

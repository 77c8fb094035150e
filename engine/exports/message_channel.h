// The engine's one channel for progress and error lines: its own buffered
// standard output, error and input streams, the host's progress callback,
// and the two ways of turning the last system error into text.
//
// Order on the process's standard output: every line reaches it in the order
// of the calls that wrote it. WriteMessageLine flushes its stream at once and
// PrintSystemMessage flushes the C runtime's output after its text, so a
// failure line followed by its system text (the usual pair on failure paths)
// always appears as that pair, whatever buffering the output has.
#ifndef TESSEL_EXPORTS_MESSAGE_CHANNEL_H
#define TESSEL_EXPORTS_MESSAGE_CHANNEL_H

#include <cstdio>
#include <string>
#include <string_view>

#include "exports/tessel.h"

namespace tessel {

// A buffered text stream of the engine over a C runtime stream. Text is kept
// in the engine's own buffer until Flush.
class OutputStream {
  public:
    explicit OutputStream(std::FILE* (*sink)()) : sink_(sink) {}
    void Insert(std::string_view text) { buffer_.append(text); }
    void Flush();

  private:
    std::FILE* (*sink_)();
    std::string buffer_;
};

class InputStream {
  public:
    explicit InputStream(std::FILE* (*source)()) : source_(source) {}
    // One line without its end; false at the end of the input.
    bool ReadLine(std::string& line);
    // Waits for one key (one character of the input; nothing is echoed
    // here). Returns at once at the end of the input, as under a host
    // without a console.
    void WaitForKey();

  private:
    std::FILE* (*source_)();
};

OutputStream& StandardOutput();
OutputStream& StandardError();
InputStream& StandardInput();
// Flushes both output streams (the library does this when it is unloaded).
void FlushStreams();

// text, a newline, then a flush of the standard output stream. A null text
// writes only the newline.
void WriteMessageLine(const char* text);
// The calling thread's last error as one line on the standard output stream:
// the system's text, or "\n Windows Error No: " and the number.
void ReportLastError();
// The last error's system text through printf, or "FormatMessage failure! "
// and the code FormatMessageA left, and a newline.
void PrintSystemMessage();

void SetProgressCallback(ProgressCallback callback);
ProgressCallback CurrentProgressCallback();
// Passes text to the progress callback, if one is set.
void ReportProgress(const char* text);

}  // namespace tessel

#endif

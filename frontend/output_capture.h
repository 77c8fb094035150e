// The engine writes its progress and error lines to the process's standard
// output, and the programs it starts (format, copy) inherit it. While an
// OutputCapture lives, that output goes through a pipe: each line is handed
// to a callback (on the capture's own reader thread) and still reaches the
// original standard output.
#ifndef LARKIN_FRONTEND_OUTPUT_CAPTURE_H
#define LARKIN_FRONTEND_OUTPUT_CAPTURE_H

#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace larkin::frontend {

class OutputCapture {
  public:
    using LineHandler = std::function<void(std::string_view line)>;

    explicit OutputCapture(LineHandler onLine);
    // Flushes standard output, puts it back and delivers the last lines.
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    bool active() const { return savedOutput_ >= 0; }

  private:
    void ReadLines(int input);

    LineHandler onLine_;
    int savedOutput_ = -1;
    std::thread reader_;
};

// Splits text into lines at LF (dropping CR), handing over each non-blank
// line with its blanks at both ends removed; the unfinished rest stays in
// pending.
void TakeLines(std::string& pending, std::string_view text,
               const OutputCapture::LineHandler& onLine);

}  // namespace larkin::frontend

#endif

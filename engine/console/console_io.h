// The console of the image operations: lines and prompts on the engine's
// output and error streams, and the three kinds of answer read from its
// input stream.
//
// Input is taken a line at a time. Blank lines are passed over, as a reader
// of words would pass over them; the answer is the first word of the next
// line that has one, and the rest of that line is dropped, so that "yes" to
// a question answers y and does not leave "es" behind to be read as the
// answer to the next one.
#ifndef TESSEL_CONSOLE_CONSOLE_IO_H
#define TESSEL_CONSOLE_CONSOLE_IO_H

#include <cstdint>
#include <string>
#include <string_view>

#include "exports/message_channel.h"

namespace tessel::console {

enum class Read {
    ok,
    notNumber,  // numbers only: the word was not a decimal number in range
    tooLong,    // names only: the word is longer than the caller's limit
    end,        // the end of the input: nothing more will come
};

class Console {
  public:
    Console(OutputStream& out, OutputStream& err, InputStream& in)
        : out_(out), err_(err), in_(in) {}

    // text and a newline, then a flush, on the output or the error stream.
    void Line(std::string_view text);
    void ErrorLine(std::string_view text);
    // text without an end of line, flushed so that it shows before a read.
    void Write(std::string_view text);

    // The first character of the next non-blank line.
    Read ReadAnswer(char& answer);
    // The first word of the next non-blank line as a signed decimal number
    // that fits in 64 bits ("+"/"-" allowed). Anything else: notNumber, and
    // the line is gone.
    Read ReadNumber(std::int64_t& number);
    // The first word of the next non-blank line, at most maxLength
    // characters; a longer word gives tooLong and is not kept.
    Read ReadName(std::string& name, std::size_t maxLength);

  private:
    // The first word of the next line that has one; false at the end.
    bool NextWord(std::string& word);

    OutputStream& out_;
    OutputStream& err_;
    InputStream& in_;
};

// The engine's own standard output, error and input streams.
Console& EngineConsole();

// Parses a whole word as a signed decimal number that fits in 64 bits.
bool ParseDecimal(std::string_view word, std::int64_t& number);

}  // namespace tessel::console

#endif

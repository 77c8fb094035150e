#include "exports/message_channel.h"

#include <new>
#include <string>
#include <utility>

#include "win32/base.h"

namespace tessel {
namespace {

std::FILE* OutputSink() {
    return stdout;
}
std::FILE* ErrorSink() {
    return stderr;
}
std::FILE* InputSource() {
    return stdin;
}

ProgressCallback progressCallback = nullptr;

// A process-wide object that is never destroyed: the library's unload work
// flushes the streams from the loader's exit handler, which may run after
// the destructors of function-local statics.
template <class T>
class Lasting {
  public:
    template <class... Args>
    explicit Lasting(Args&&... args) {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

constexpr DWORD kSystemTextFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// A system text from FormatMessageA, released with LocalFree.
class SystemText {
  public:
    explicit SystemText(DWORD error) {
        length_ = FormatMessageA(kSystemTextFlags, nullptr, error,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                 reinterpret_cast<LPSTR>(&text_), 0, nullptr);
    }
    ~SystemText() {
        if (text_ != nullptr) LocalFree(text_);
    }
    SystemText(const SystemText&) = delete;
    SystemText& operator=(const SystemText&) = delete;

    bool found() const { return length_ != 0 && text_ != nullptr; }
    std::string_view text() const { return {text_, length_}; }

  private:
    char* text_ = nullptr;
    DWORD length_ = 0;
};

}  // namespace

void OutputStream::Flush() {
    std::FILE* sink = sink_();
    if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), sink);
    buffer_.clear();
    std::fflush(sink);
}

bool InputStream::ReadLine(std::string& line) {
    line.clear();
    std::FILE* source = source_();
    for (int c; (c = std::fgetc(source)) != EOF;) {
        if (c == '\n') return true;
        line.push_back(static_cast<char>(c));
    }
    return !line.empty();
}

void InputStream::WaitForKey() {
    std::fgetc(source_());
}

OutputStream& StandardOutput() {
    static Lasting<OutputStream> stream(OutputSink);
    return stream.get();
}

OutputStream& StandardError() {
    static Lasting<OutputStream> stream(ErrorSink);
    return stream.get();
}

InputStream& StandardInput() {
    static Lasting<InputStream> stream(InputSource);
    return stream.get();
}

void FlushStreams() {
    StandardOutput().Flush();
    StandardError().Flush();
}

void WriteMessageLine(const char* text) {
    OutputStream& out = StandardOutput();
    if (text != nullptr) out.Insert(text);
    out.Insert("\n");
    out.Flush();
}

void ReportLastError() {
    DWORD error = GetLastError();
    SystemText text(error);
    OutputStream& out = StandardOutput();
    if (text.found()) {
        out.Insert(text.text());
    } else {
        out.Insert("\n Windows Error No: ");
        out.Insert(std::to_string(error));
    }
    out.Insert("\n");
    out.Flush();
}

void PrintSystemMessage() {
    SystemText text(GetLastError());
    if (text.found()) {
        std::fwrite(text.text().data(), 1, text.text().size(), stdout);
    } else {
        std::printf("FormatMessage failure! %d\n", static_cast<int>(GetLastError()));
    }
    std::fflush(stdout);
}

void SetProgressCallback(ProgressCallback callback) {
    progressCallback = callback;
}

ProgressCallback CurrentProgressCallback() {
    return progressCallback;
}

void ReportProgress(const char* text) {
    if (progressCallback != nullptr) progressCallback(text);
}

}  // namespace tessel

// The image operations' device dialogue on any console input. The first
// byte chooses the question form, the number of listed drives and whether a
// drive letter was given and matched; the rest is what the user types.
// Rules: the chosen row is one of the listed ones, and every prompt is
// answered by a line of the input (no prompt repeats without input).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/device_dialogue.h"

namespace {

using namespace tessel;

std::FILE* input = nullptr;
std::FILE* sink = nullptr;
std::FILE* Input() {
    return input;
}
std::FILE* Sink() {
    return sink;
}

void Require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "dialogue broke the rule: %s\n", rule);
    std::abort();
}

std::size_t Count(const std::string& text, const char* what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    std::string typed(reinterpret_cast<const char*>(data + 1), size - 1);

    console::DeviceList list;
    list.listed = 1 + (mode & 0x07) % console::kListRows;
    list.reported = list.listed + ((mode & 0x08) ? 5 : 0);
    for (int i = 0; i < list.listed; ++i) {
        std::snprintf(list.rows[i].friendlyName.data(), list.rows[i].friendlyName.size(),
                      "Drive %d", i);
        std::snprintf(list.rows[i].mountInfo.data(), list.rows[i].mountInfo.size(), "%c:", 'E' + i);
    }
    const char* letter = (mode & 0x10) ? "E:" : nullptr;
    if (letter != nullptr && (mode & 0x20)) list.match = 0;
    auto style = (mode & 0x40) ? console::QuestionStyle::restorer : console::QuestionStyle::writer;

    input =
        typed.empty() ? std::fopen("/dev/null", "r") : fmemopen(typed.data(), typed.size(), "r");
    char* text = nullptr;
    std::size_t textSize = 0;
    sink = open_memstream(&text, &textSize);
    {
        OutputStream out(Sink);
        OutputStream err(Sink);
        InputStream in(Input);
        console::Console console(out, err, in);
        std::optional<int> chosen = console::ChooseDevice(list, letter, style, console);
        if (chosen) Require(*chosen >= 0 && *chosen < list.listed, "a listed row is chosen");
    }
    std::fclose(input);
    std::fclose(sink);
    std::string output(text, textSize);
    std::free(text);

    // Each question and each pick prompt waits for one line of input.
    std::size_t lines = Count(typed, "\n") + 1;
    std::size_t prompts = Count(output, "Please Select Device #") + Count(output, "(y/n)");
    Require(prompts <= lines + 1, "no prompt repeats without input");
    return 0;
}

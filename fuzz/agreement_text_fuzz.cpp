// The agreement file's plain-text reading on any bytes: it must never fail,
// never loop, and never give back a control word of a well-formed input.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "agreement_text.h"

namespace {

void Require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "agreement text read against the rule: %s\n", rule);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace larkin::frontend;
    QByteArray content(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    LooksLikeRichText(content);
    QString text = RichTextToPlainText(content);
    // Every character of the text comes from at least one byte of input.
    Require(text.size() <= static_cast<qsizetype>(size), "more text than input");
    // Input made only of control words and groups gives no text at all.
    QByteArray wordsOnly = "{\\rtf1";
    for (size_t i = 0; i < size && i < 64; ++i) {
        char letter = static_cast<char>('a' + data[i] % 26);
        wordsOnly += "\\";
        wordsOnly += letter;
        if (data[i] & 1) wordsOnly += "{\\*\\x " + QByteArray(1, letter) + "}";
        wordsOnly += ' ';
    }
    wordsOnly += '}';
    QString fromWords = RichTextToPlainText(wordsOnly);
    for (QChar c : fromWords)
        Require(c == u'\n' || c == u'\t' || c == QChar(0x2022) || c == QChar(0x00A0),
                "a control word given back as text");
    return 0;
}

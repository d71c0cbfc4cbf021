#include "cli/Quoting.h"

#include <cwchar>
#include <cwctype>

namespace Quoting {

namespace {

// One character of the text: its bytes, and what it takes to show it.
struct Character {
    std::size_t length = 1;
    bool printable = true;
};

Character next(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
        return {1, byte >= 0x20 && byte < 0x7f};
    }
    std::mbstate_t state{};
    wchar_t wide = 0;
    const std::size_t length = std::mbrtowc(&wide, text.data() + at, text.size() - at, &state);
    // A byte that starts no character, or starts one the text cuts short, is shown
    // as a byte.
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) || length == 0) {
        return {1, false};
    }
    return {length, std::iswprint(static_cast<std::wint_t>(wide)) != 0};
}

// The letter of a C escape the shell's $'...' reads too, or 0 for an octal escape.
char escapeLetter(unsigned char byte) {
    constexpr std::string_view escaped = "\a\b\f\n\r\t\v";
    const std::size_t at = escaped.find(static_cast<char>(byte));
    return at == std::string_view::npos ? 0 : "abfnrtv"[at];
}

bool shellSpecial(char c) {
    return std::string_view("!\"$&()*;<=>?[\\^`|").find(c) != std::string_view::npos;
}

struct Scan {
    bool needsQuotes = false;
    bool singleQuote = false;
    // Nothing but printable characters that mean the same inside double quotes: a
    // text with an apostrophe then reads best as "it's".
    bool doubleQuotable = true;
};

Scan scan(std::string_view text) {
    Scan result;
    result.needsQuotes = text.empty();
    for (std::size_t at = 0; at < text.size();) {
        const Character character = next(text, at);
        const char c = text[at];
        if (!character.printable) {
            result.needsQuotes = true;
            result.doubleQuotable = false;
        } else if (c == '\'') {
            result.needsQuotes = result.singleQuote = true;
        } else if (c == ' ') {
            result.needsQuotes = true;
        } else if (c == '#' || c == '~') {
            // Special only where a word begins.
            if (at == 0) {
                result.needsQuotes = true;
            } else {
                result.doubleQuotable = false;
            }
        } else if (c == '{' || c == '}') {
            // Special only alone.
            if (text.size() == 1) {
                result.needsQuotes = true;
            } else {
                result.doubleQuotable = false;
            }
        } else if (shellSpecial(c)) {
            result.needsQuotes = true;
            result.doubleQuotable = false;
        }
        at += character.length;
    }
    return result;
}

} // namespace

std::string quote(std::string_view text, When when) {
    const Scan found = scan(text);
    if (!found.needsQuotes && when == When::Needed) {
        return std::string(text);
    }
    if (found.singleQuote && found.doubleQuotable) {
        // Appended, not added up: GCC 12 at -O3 warns falsely about "x" + string.
        std::string out = "\"";
        out.append(text).append(1, '"');
        return out;
    }
    std::string out = "'";
    bool inEscapes = false; // inside $'...'
    for (std::size_t at = 0; at < text.size();) {
        const Character character = next(text, at);
        if (!character.printable) {
            if (!inEscapes) {
                out += "'$'";
                inEscapes = true;
            }
            for (std::size_t i = at; i < at + character.length; ++i) {
                const auto byte = static_cast<unsigned char>(text[i]);
                out += '\\';
                if (const char letter = escapeLetter(byte); letter != 0) {
                    out += letter;
                } else {
                    out += static_cast<char>('0' + (byte >> 6));
                    out += static_cast<char>('0' + ((byte >> 3) & 7));
                    out += static_cast<char>('0' + (byte & 7));
                }
            }
        } else if (text[at] == '\'') {
            // Ends the quotes (or the escapes), an escaped apostrophe, new quotes.
            out += "'\\''";
            inEscapes = false;
        } else {
            if (inEscapes) {
                out += "''";
                inEscapes = false;
            }
            out.append(text.substr(at, character.length));
        }
        at += character.length;
    }
    out += '\'';
    return out;
}

} // namespace Quoting

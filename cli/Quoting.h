#pragma once

#include <string>
#include <string_view>

// File names in messages, quoted as the GNU tools quote them (their "shell-escape"
// style), so that a blank, a line break or a byte the terminal cannot show never
// reaches it raw and the text can be pasted back into a shell: a b -> 'a b',
// x LF y -> 'x'$'\n''y', it's -> "it's". Characters the locale (LC_CTYPE) can print
// stay as they are.
namespace Quoting {

enum class When {
    Needed, // a name that needs no quotes stays bare, as at the start of "NAME: reason"
    Always, // quoted in any case, as inside a sentence
};

std::string quote(std::string_view text, When when = When::Needed);

} // namespace Quoting

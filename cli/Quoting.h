#pragma once

#include <string>
#include <string_view>

// File names quoted as the GNU tools' "shell-escape" style does, so that no line break or unprintable byte reaches the
// terminal raw and the text can be pasted back into a shell.

namespace Quoting {

enum class When {
    Needed, // a name that needs no quotes stays bare, as at the start of "NAME: reason"
    Always, // quoted in any case, as inside a sentence
};

std::string quote(std::string_view text, When when = When::Needed);

} // namespace Quoting

#pragma once

#include <QString>

namespace Help {

// The one help message: whom to ask, with the maker's contact page.
QString helpText();

} // namespace Help

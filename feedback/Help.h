#pragma once

#include <QString>

class WindowHost;

namespace Help {

// The one help message: whom to ask, with the maker's contact page.
QString helpText();

// PushButton6_Click: shows the help message.
void showHelp(WindowHost& window);

} // namespace Help

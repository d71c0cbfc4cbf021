#pragma once

#include <QString>
#include <QtGlobal>

class WindowHost;

// Start-up: the sequence the window runs once before it is shown, and its rules.
namespace StartUp {

inline constexpr const char* productName = "Quarnel";
inline constexpr const char* homePage = "https://velmarc.example/quarnel";
inline constexpr const char* contactPage = "https://velmarc.example/contact";
inline constexpr const char* defaultChunkSize = "100000";

// Files read from the program folder, as suffixes of its path.
inline constexpr const char* handCursorSuffix = "/HAND-M.CUR";
inline constexpr const char* skinSuffix = "/x/o.cjs";
inline constexpr const char* splitSampleFolderSuffix = "/Samples/split_me/";
inline constexpr const char* splitSampleSuffix = "/Samples/split_me/sample1.pdf";
inline constexpr const char* joinSampleFolderSuffix = "/Samples/join_me/";
inline constexpr const char* joinSampleSuffix = "/Samples/join_me/sample1.pdf.splt";

// Asked by both sample buttons after they filled their field.
inline constexpr const char* sampleQuestion =
    QT_TRANSLATE_NOOP("StartUp", "Would you like this software to open the folder where these sample files are stored "
                                 "(so that you can view them before working with them)?");

// The title of message boxes: the name without its last word, then without further
// words while it is longer than 40 characters. A name without a blank is itself.
QString applicationTitle(const QString& name);

// The home-page call happens when floor(draw * 100) + 1 is 7, for a draw in [0, 1).
bool homePageDrawHits(double draw);

// The user's desktop folder, or the home folder when there is no desktop folder,
// ending with exactly one "/".
QString GetDesktopFolder();

// `folder` with exactly one trailing "/"; the root stays "/".
QString withTrailingSeparator(const QString& folder);

// Form_Load: the cursor file, the skin, the home-page call, the captions and the
// fields from the settings; a failing step is reported and start-up goes on.
void load(WindowHost& window);

} // namespace StartUp

#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>

#include "engine/ErrorReport.h"
#include "engine/Main.h"
#include "engine/Messages.h"
#include "engine/PieceSet.h"
#include "tests/support/Files.h"

using StringList = std::vector<std::string>;
Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(StringList)

class TestPathRoutines : public QObject {
    Q_OBJECT

private slots:
    void fileAndFolderParts_data();
    void fileAndFolderParts();
    void collapse_data();
    void collapse();
    void existence();
    void manifestEntries_data();
    void manifestEntries();
    void scannerStopsPastLimit();
    void entryName_data();
    void entryName();
    void joinedName_data();
    void joinedName();
    void pieceAndManifestPaths();
    void pieceCount();
    void errorReportText();
    void noticeText_data();
    void noticeText();
};

void TestPathRoutines::fileAndFolderParts_data() {
    QTest::addColumn<std::string>("path");
    QTest::addColumn<char>("separator");
    QTest::addColumn<std::string>("name");
    QTest::addColumn<std::string>("folder");
    QTest::newRow("windows file") << std::string("C:\\Docs\\sample1.pdf") << '\\' << std::string("sample1.pdf")
                                  << std::string("C:\\Docs\\");
    QTest::newRow("windows folder") << std::string("C:\\Docs\\") << '\\' << std::string("")
                                    << std::string("C:\\Docs\\");
    QTest::newRow("windows nested") << std::string("C:\\a\\b\\c.splt") << '\\' << std::string("c.splt")
                                    << std::string("C:\\a\\b\\");
    QTest::newRow("bare name") << std::string("sample1.pdf") << '/' << std::string("sample1.pdf") << std::string("");
    QTest::newRow("linux file") << std::string("/home/u/a.b") << '/' << std::string("a.b") << std::string("/home/u/");
    QTest::newRow("linux root") << std::string("/x") << '/' << std::string("x") << std::string("/");
    QTest::newRow("backslash in linux name")
        << std::string("/d/a\\b") << '/' << std::string("a\\b") << std::string("/d/");
}

void TestPathRoutines::fileAndFolderParts() {
    QFETCH(std::string, path);
    QFETCH(char, separator);
    QFETCH(std::string, name);
    QFETCH(std::string, folder);
    QCOMPARE(Main::GetFileName(path, separator), name);
    QCOMPARE(Main::GetFolderPart(path, separator), folder);
}

void TestPathRoutines::collapse_data() {
    QTest::addColumn<std::string>("path");
    QTest::addColumn<char>("separator");
    QTest::addColumn<std::string>("expected");
    // Windows rules, as written
    QTest::newRow("\\ plain") << std::string("D:\\Out\\a") << '\\' << std::string("D:\\Out\\a");
    QTest::newRow("\\ doubled") << std::string("D:\\Out\\\\sample1.pdf_splt1") << '\\'
                                << std::string("D:\\Out\\sample1.pdf_splt1");
    QTest::newRow("\\ three, one pass") << std::string("a\\\\\\b") << '\\' << std::string("a\\\\b");
    QTest::newRow("\\ four become two") << std::string("a\\\\\\\\b") << '\\' << std::string("a\\\\b");
    QTest::newRow("\\ network path") << std::string("\\\\server\\share\\\\x") << '\\'
                                     << std::string("\\\\server\\share\\x");
    QTest::newRow("\\ three leading") << std::string("\\\\\\srv\\x") << '\\' << std::string("\\\\srv\\x");
    QTest::newRow("\\ single leading gains one") << std::string("\\dir\\\\x") << '\\' << std::string("\\\\dir\\x");
    QTest::newRow("\\ only separators") << std::string("\\\\\\") << '\\' << std::string("\\\\");
    // Linux: a leading run is a single root
    QTest::newRow("/ doubled") << std::string("/out//a_splt1") << '/' << std::string("/out/a_splt1");
    QTest::newRow("/ three, one pass") << std::string("a///b") << '/' << std::string("a//b");
    QTest::newRow("/ leading run") << std::string("//name") << '/' << std::string("/name");
    QTest::newRow("/ long leading run") << std::string("////d//x") << '/' << std::string("/d/x");
    QTest::newRow("/ single leading") << std::string("/d/x") << '/' << std::string("/d/x");
    QTest::newRow("/ empty") << std::string("") << '/' << std::string("");
}

void TestPathRoutines::collapse() {
    QFETCH(std::string, path);
    QFETCH(char, separator);
    QFETCH(std::string, expected);
    QCOMPARE(Main::CollapseBackslashes(path, separator), expected);
}

void TestPathRoutines::existence() {
    QTemporaryDir dir;
    const QString file = dir.filePath("f");
    Files::write(file, "x");
    QVERIFY(::symlink(Files::path(file).c_str(), Files::path(dir.filePath("link")).c_str()) == 0);
    QVERIFY(::symlink("/nonexistent/target", Files::path(dir.filePath("dangling")).c_str()) == 0);
    const std::string folder = Files::path(dir.path());

    QVERIFY(Main::FolderExists(folder));
    QVERIFY(Main::FolderExists(folder + "/"));
    QVERIFY(!Main::FolderExists(Files::path(file)));
    QVERIFY(!Main::FolderExists(folder + "/missing"));
    QVERIFY(!Main::FolderExists(""));

    QVERIFY(Main::PathExists(Files::path(file)));
    QVERIFY(Main::PathExists(folder));
    QVERIFY(!Main::PathExists(folder + "/missing"));

    QVERIFY(Main::fileExists(Files::path(file)));
    QVERIFY(Main::fileExists(Files::path(dir.filePath("link"))));
    QVERIFY(!Main::fileExists(Files::path(dir.filePath("dangling"))));
    QVERIFY(!Main::fileExists(folder));
    QVERIFY(!Main::fileExists(folder + "/*")); // no wildcard expansion
}

namespace {

// After the last '/', else after the last '\'.
std::string nameOf(const std::string& line) {
    const std::size_t slash = line.rfind('/');
    return line.substr(slash != std::string::npos ? slash + 1 : line.rfind('\\') + 1);
}

} // namespace

void TestPathRoutines::manifestEntries_data() {
    QTest::addColumn<std::string>("text");
    QTest::addColumn<StringList>("entries");
    QTest::newRow("well formed") << std::string("/o/a_splt1\r\n/o/a_splt2\r\n")
                                 << StringList{"/o/a_splt1", "/o/a_splt2"};
    QTest::newRow("last line without CR LF") << std::string("/o/a_splt1\r\n/o/a_splt2") << StringList{"/o/a_splt1"};
    QTest::newRow("LF only") << std::string("/o/a_splt1\n/o/a_splt2\n") << StringList{};
    QTest::newRow("empty") << std::string("") << StringList{};
    QTest::newRow("lone CR and LF stay in the line") << std::string("a\rb\nc\r\n") << StringList{"a\rb\nc"};
    QTest::newRow("empty line") << std::string("\r\n\r\n") << StringList{"", ""};
    QTest::newRow("CR CR LF") << std::string("x\r\r\n") << StringList{"x\r"};
    QTest::newRow("NUL in a name") << std::string("/o/a\0b\r\n/o/c\r\n", 14)
                                   << StringList{std::string("/o/a\0b", 6), "/o/c"};
    QTest::newRow("separators of both kinds") << std::string("D:\\O\\x_splt1\r\n/d/we\\ird\r\nbare\r\n")
                                              << StringList{"D:\\O\\x_splt1", "/d/we\\ird", "bare"};
}

void TestPathRoutines::manifestEntries() {
    QFETCH(std::string, text);
    QFETCH(StringList, entries);
    // Whole, and block by block as the joiner reads: a CR LF, a separator or a NUL may
    // straddle two blocks.
    for (const std::size_t block :
         {std::max<std::size_t>(text.size(), 1), std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        PieceSet::ManifestScanner scanner;
        std::vector<PieceSet::Entry> found;
        for (std::size_t at = 0; at < text.size(); at += block) {
            QVERIFY(scanner.feed(std::string_view(text).substr(at, block), found, 100));
        }
        QCOMPARE(found.size(), entries.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            const auto start = static_cast<std::size_t>(found[i].start);
            const auto nameStart = static_cast<std::size_t>(found[i].nameStart);
            const auto end = static_cast<std::size_t>(found[i].end);
            QCOMPARE(text.substr(start, end - start), entries[i]);
            QCOMPARE(text.substr(nameStart, end - nameStart), nameOf(entries[i]));
            QCOMPARE(found[i].hasNul, entries[i].find('\0') != std::string::npos);
        }
    }
}

void TestPathRoutines::scannerStopsPastLimit() {
    PieceSet::ManifestScanner scanner;
    std::vector<PieceSet::Entry> found;
    QVERIFY(scanner.feed("a\r\nb\r\n", found, 3));
    QVERIFY(!scanner.feed(std::string(1000, '\n').insert(0, "c\r\nd\r\ne\r\n"), found, 3));
    QCOMPARE(found.size(), std::size_t{4}); // one past the limit, no more
}

void TestPathRoutines::entryName_data() {
    QTest::addColumn<std::string>("line");
    QTest::addColumn<std::string>("name");
    QTest::newRow("linux") << std::string("/out//a.pdf_splt1") << std::string("a.pdf_splt1");
    QTest::newRow("windows") << std::string("D:\\Out\\\\a.pdf_splt2") << std::string("a.pdf_splt2");
    QTest::newRow("slash wins over backslash") << std::string("/d/we\\ird_splt1") << std::string("we\\ird_splt1");
    QTest::newRow("bare") << std::string("a_splt3") << std::string("a_splt3");
}

void TestPathRoutines::entryName() {
    QFETCH(std::string, line);
    QFETCH(std::string, name);
    std::vector<PieceSet::Entry> found;
    QVERIFY(PieceSet::ManifestScanner().feed(line + "\r\n", found, 1) && found.size() == 1);
    QCOMPARE(line.substr(static_cast<std::size_t>(found[0].nameStart)), name);
}

void TestPathRoutines::joinedName_data() {
    QTest::addColumn<std::string>("manifest");
    QTest::addColumn<std::string>("name");
    QTest::newRow("usual") << std::string("/d/sample1.pdf.splt") << std::string("sample1.pdf");
    QTest::newRow("capitals") << std::string("/d/Report.SPLT") << std::string("Report");
    QTest::newRow("mixed case") << std::string("/d/x.SpLt") << std::string("x");
    QTest::newRow("every occurrence") << std::string("/d/a.splt.b.splt") << std::string("a.b");
    QTest::newRow("folder part ignored") << std::string("/d.splt/a.splt") << std::string("a");
    QTest::newRow("no marker") << std::string("/d/list") << std::string("list");
    QTest::newRow("one pass") << std::string("/d/a.sp.spltlt") << std::string("a.splt");
}

void TestPathRoutines::joinedName() {
    QFETCH(std::string, manifest);
    QFETCH(std::string, name);
    QCOMPARE(PieceSet::joinedName(manifest), name);
}

void TestPathRoutines::pieceAndManifestPaths() {
    QCOMPARE(PieceSet::piecePath("/out", "archive.tar.gz", 1), std::string("/out/archive.tar.gz_splt1"));
    QCOMPARE(PieceSet::piecePath("/out/", "a", 10), std::string("/out//a_splt10"));
    QCOMPARE(PieceSet::piecePath("/out", "a", 32767), std::string("/out/a_splt32767"));
    QCOMPARE(PieceSet::manifestPath("/out", "archive.tar.gz"), std::string("/out/archive.tar.gz.splt"));
    QCOMPARE(PieceSet::manifestPath("/out/", "a"), std::string("/out//a.splt"));
}

void TestPathRoutines::pieceCount() {
    QCOMPARE(PieceSet::pieceCount(250000, 100000), std::int64_t{3});
    QCOMPARE(PieceSet::pieceCount(300000, 100000), std::int64_t{3});
    QCOMPARE(PieceSet::pieceCount(300001, 100000), std::int64_t{4});
    QCOMPARE(PieceSet::pieceCount(1, 100000), std::int64_t{1});
    QCOMPARE(PieceSet::pieceCount(0, 5), std::int64_t{0});
    // beyond 32 bits: 5 GiB in 2,000,000,000-byte pieces
    QCOMPARE(PieceSet::pieceCount(std::int64_t{5} << 30, 2000000000), std::int64_t{3});
}

void TestPathRoutines::errorReportText() {
    QCOMPARE(ErrorReport::sourceLabel("Form1", "PushButton4_Click"),
             std::string("in Tavrid2021/08/31.Form1.PushButton4_Click "));
}

// A path is put into a notice's text as it is, whatever it holds.
void TestPathRoutines::noticeText_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<StringList>("arguments");
    QTest::addColumn<std::string>("text");
    QTest::newRow("no argument") << int(NoticeId::Done) << StringList{} << std::string("Done.");
    QTest::newRow("path") << int(NoticeId::PieceMissing) << StringList{"/d/a_splt2"}
                          << std::string("/d/a_splt2 splitted file not found");
    QTest::newRow("path holding %1 and %2") << int(NoticeId::InvalidManifest) << StringList{"/d/%2%1.splt"}
                                            << std::string("/d/%2%1.splt is not a valid split file list.");
    QTest::newRow("piece of another length")
        << int(NoticeId::PieceLengthWrong) << StringList{"/d/a_splt2"}
        << std::string("/d/a_splt2 is damaged: its length does not match the other pieces.");
    QTest::newRow("argument missing") << int(NoticeId::SplitFileMissing) << StringList{}
                                      << std::string("%1 does not exist.");
}

void TestPathRoutines::noticeText() {
    QFETCH(int, id);
    QFETCH(StringList, arguments);
    QFETCH(std::string, text);
    QCOMPARE(Messages::text({static_cast<NoticeId>(id), arguments}), text);
}

QTEST_APPLESS_MAIN(TestPathRoutines)
#include "TestPathRoutines.moc"

// Reading a file's lines with every byte: its mark and end-of-file byte left out.
#include "lines.h"

#include <string>
#include <vector>

#include "streams.h"
#include "test_files.h"

namespace {

struct Lines {
    std::vector<std::string> lines;
    bool end_byte;
};

Lines lines_of(const std::string& bytes) {
    TempDir dir;
    write_file(dir.path("f"), bytes);
    File f = open_file(dir.path("f").c_str(), "rb");
    LineReader reader(f.get());
    Lines got;
    while (const char* line = reader.next()) got.lines.emplace_back(line, reader.size());
    EXPECT_FALSE(reader.failed());
    got.end_byte = reader.had_end_of_file_byte();
    return got;
}

}  // namespace

TEST(LineReader, ReadsEveryByteUpToTheEndWithNoEndOfFileByte) {
    std::string bytes("a\r\n# b\x1a c\r\n\0x\n\r\nd\re\nlast", 24);
    Lines read = lines_of(bytes);
    EXPECT_EQ(read.lines,
              (std::vector<std::string>{"a\r\n", "# b\x1a c\r\n", std::string("\0x\n", 3), "\r\n",
                                        "d\re\n", "last"}));
    EXPECT_FALSE(read.end_byte);
}

TEST(LineReader, LeavesOutAnEndOfFileByteOnlyWhenItIsTheLastByte) {
    struct Case {
        std::string bytes;
        std::string lines;  // all the lines read, one after the other
        bool end_byte;
    };
    std::string chunk = std::string(65535, '#');  // the byte after it starts the next chunk
    for (const Case& c : std::vector<Case>{
             {"\x1a", "", true},
             {"a\r\n\x1a", "a\r\n", true},
             {"a\x1a", "a", true},
             {"a\x1a\x1a", "a\x1a", true},
             {"a\x1a\n", "a\x1a\n", false},
             {"\xEF\xBB\xBF\x1a", "", true},
             {chunk + "\x1a", chunk, true},
             {chunk + "\x1a\x1a", chunk + "\x1a", true},
             {chunk + "\x1a" + "b", chunk + "\x1a" + "b", false},
         }) {
        Lines read = lines_of(c.bytes);
        std::string joined;
        for (const std::string& line : read.lines) joined += line;
        EXPECT_EQ(joined, c.lines) << c.bytes.size() << " bytes";
        EXPECT_EQ(read.end_byte, c.end_byte) << c.bytes.size() << " bytes";
    }
}

TEST(LineReader, CutsLinesInto4095BytePiecesAcrossItsChunks) {
    std::string line = std::string(70000, 'x') + "\r\n";
    std::vector<std::string> pieces = lines_of(line + "y\n").lines;
    ASSERT_EQ(pieces.size(), 19u);
    for (int i = 0; i < 17; ++i) EXPECT_EQ(pieces[i].size(), 4095u);
    EXPECT_EQ(pieces[17], std::string(70000 - 17 * 4095, 'x') + "\r\n");
    EXPECT_EQ(pieces[18], "y\n");
}

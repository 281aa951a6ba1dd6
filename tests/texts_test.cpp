// The program's texts against the readable text written above each of them in texts.h.
#include "texts.h"

#include <iconv.h>

#include <map>

#include "test_files.h"

namespace {

// The GBK bytes of a UTF-8 text, as a console on code page 936 shows it, converted at run time so
// that the check does not depend on how the compiler encodes the readable text.
std::string gbk(const std::string& utf8) {
    iconv_t to_gbk = iconv_open("GBK", "UTF-8");
    if (to_gbk == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv cannot convert UTF-8 to GBK here";
        return "";
    }
    std::string in = utf8, out(2 * utf8.size(), '\0');
    char *from = in.data(), *to = out.data();
    std::size_t from_left = in.size(), to_left = out.size();
    if (iconv(to_gbk, &from, &from_left, &to, &to_left) == static_cast<std::size_t>(-1))
        ADD_FAILURE() << "not convertible to GBK: " << utf8;
    iconv_close(to_gbk);
    out.resize(out.size() - to_left);
    return out;
}

// Every text of texts.h, by the name it is declared with.
const std::map<std::string, std::string> compiled = {
    {"menu", texts::menu},
    {"format_hint", texts::format_hint},
    {"add_prompt", texts::add_prompt},
    {"delete_prompt", texts::delete_prompt},
    {"added", texts::added},
    {"deleted", texts::deleted},
    {"backed_up", texts::backed_up},
    {"restored", texts::restored},
    {"usage", texts::usage},
    {"no_such_item", texts::no_such_item},
    {"read_changed", texts::read_changed},
    {"write_malformed", texts::write_malformed},
    {"write_changed", texts::write_changed},
    {"write_missing", texts::write_missing},
    {"lock_waiting", texts::lock_waiting},
    {"lock_gave_up", texts::lock_gave_up},
    {"pause_prompt", texts::pause_prompt},
};

// The text of a C string literal's inside, with its escapes read.
std::string unquote(const std::string& quoted) {
    std::string text;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\\' || i + 1 == quoted.size()) {
            text += quoted[i];
            continue;
        }
        char escaped = quoted[++i];
        text += escaped == 'n' ? '\n' : escaped;
    }
    return text;
}

// The readable text of each declaration in texts.h: the quoted comment lines just above it.
std::map<std::string, std::string> readable_texts() {
    std::ifstream header(TEXTS_HEADER);
    EXPECT_TRUE(header) << TEXTS_HEADER;
    const std::string quote = "// \"", declaration = "inline constexpr char ";
    std::map<std::string, std::string> found;
    std::string line, text;
    while (std::getline(header, line)) {
        if (line.rfind(quote, 0) == 0 && line.size() > quote.size() && line.back() == '"') {
            text += unquote(line.substr(quote.size(), line.size() - quote.size() - 1));
        } else if (line.rfind(declaration, 0) == 0) {
            found[line.substr(declaration.size(), line.find('[') - declaration.size())] = text;
            text.clear();
        } else {
            text.clear();
        }
    }
    return found;
}

std::string names(const std::map<std::string, std::string>& texts) {
    std::string all;
    for (const auto& text : texts) all += text.first + " ";
    return all;
}

}  // namespace

TEST(Texts, AreAllCheckedAndEachHasItsReadableTextAbove) {
    std::map<std::string, std::string> readable = readable_texts();
    EXPECT_EQ(names(readable), names(compiled));
    for (const auto& text : readable) EXPECT_NE(text.second, "") << text.first;
}

TEST(Texts, AreEachTheGbkBytesOfTheirReadableText) {
    for (const auto& text : readable_texts()) {
        auto bytes = compiled.find(text.first);
        if (bytes == compiled.end()) continue;
        EXPECT_EQ(bytes->second, gbk(text.second)) << text.first << ": " << text.second;
    }
}

TEST(Texts, AreTheBytesThatAConsoleOnCodePage936Shows) {
    // Written out byte for byte, so that a converter that agrees with a wrong table is caught.
    EXPECT_EQ(std::string(texts::no_such_item), "\xc3\xbb\xd3\xd0\xb4\xcb\xcf\xee\x0a");
}

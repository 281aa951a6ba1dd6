// Fuzzes the line rules (trimming, the entry test, splitting) on arbitrary bytes, in buffers of
// the sizes the program itself uses, so that any overrun lands in AddressSanitizer's red zone.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "hosts.h"

namespace {

constexpr std::size_t line_size = 4096;  // the reader's line buffer, NUL included
constexpr std::size_t ip_size = sizeof(Config::ip);
constexpr std::size_t url_size = sizeof(Config::url);
// Filler for the bytes the functions must not write, unlikely to be produced by chance.
constexpr char untouched = '\x5A';

// White space as the hosts file knows it: the C locale's isspace, spelled out so that the
// checks do not share code with what they check.
bool white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_line_rules: broken rule: %s\n", what);
    std::abort();
}

// Exactly sized heap buffers: one byte too far is a heap-buffer-overflow report.
std::unique_ptr<char[]> filled(std::size_t size) {
    std::unique_ptr<char[]> buf(new char[size]);
    std::memset(buf.get(), untouched, size);
    return buf;
}

bool all_untouched(const char* buf, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (buf[i] != untouched) return false;
    }
    return true;
}

// Splits `src` and holds the result against what the split must give.
void check_split(const char* src) {
    auto ip = filled(ip_size);
    auto url = filled(url_size);
    int ret = separate_str(src, ip.get(), url.get());

    std::size_t len = std::strlen(src);
    const char* space = std::strpbrk(src, " \t");
    if (!space) {
        check(ret == line_no_space,
              "separate_str gives line_no_space exactly when there is no space and no tab");
    } else {
        std::size_t ip_len = static_cast<std::size_t>(space - src);
        std::size_t url_len = len - ip_len - std::strspn(space, " \t");
        bool fits = ip_len <= ip_size - 1 && url_len <= url_size - 1;
        check(ret == (fits ? line_ok : line_part_too_long),
              "separate_str gives line_part_too_long exactly when a part is too long");
    }
    if (ret != line_ok) {
        check(all_untouched(ip.get(), ip_size) && all_untouched(url.get(), url_size),
              "a failed split leaves both outputs untouched");
        return;
    }
    std::size_t got_ip = strnlen(ip.get(), ip_size);
    std::size_t got_url = strnlen(url.get(), url_size);
    check(got_ip <= 49 && got_url <= 299, "split parts are NUL-terminated within their fields");
    check(std::strcspn(ip.get(), " \t") == got_ip, "the address holds no space and no tab");
    check(got_url == 0 || (url[0] != ' ' && url[0] != '\t'), "the host starts after the blanks");
    std::size_t blanks = len - got_ip - got_url;
    check(got_ip < len && std::memcmp(src, ip.get(), got_ip) == 0 &&
              std::strspn(src + got_ip, " \t") == blanks && blanks > 0 &&
              std::memcmp(src + got_ip + blanks, url.get(), got_url) == 0,
          "address + blanks + host gives back the line");
}

// The reader hands a line over with its line end as it stands, LF or CR LF: followed by either,
// a line must trim to the same text and keep its verdict, so that Windows files load as others.
void check_line_ends(const char* bare, const char* trimmed) {
    std::size_t len = std::strlen(bare);
    std::size_t kept = std::strlen(trimmed);
    if (len == 0 || kept == 0 || white(trimmed[kept - 1])) return;  // no text to stop at
    for (const char* end : {"\n", "\r\n"}) {
        std::size_t end_len = std::strlen(end);
        if (len + end_len > line_size - 1) continue;
        auto line = filled(line_size);
        std::memcpy(line.get(), bare, len);
        std::memcpy(line.get() + len, end, end_len + 1);
        check(is_entry_line(line.get()) == is_entry_line(bare),
              "a line end never changes whether a line is an entry");
        format_string(line.get());
        check(std::strcmp(line.get(), trimmed) == 0, "trimming takes LF and CR LF off alike");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // separate_str reports every refused line on stdout: keep the fuzzer fast and its log clean.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reader hands out at most 4095 bytes and a NUL: fill the buffer the same way, and mark
    // the rest so that a write past the string shows.
    auto line = filled(line_size);
    std::size_t take = size < line_size - 1 ? size : line_size - 1;
    std::memcpy(line.get(), data, take);
    line[take] = '\0';

    std::unique_ptr<char[]> before(new char[line_size]);
    std::memcpy(before.get(), line.get(), line_size);
    std::size_t old_len = std::strlen(before.get());
    bool old_entry = is_entry_line(line.get());
    check(old_entry == (before[0] != '#' && !white(before[0])),
          "an entry line starts with neither # nor white space");

    check(format_string(line.get()) == line_ok, "format_string accepts any string");
    std::size_t new_len = std::strlen(line.get());
    check(new_len <= old_len && std::memcmp(line.get(), before.get(), new_len) == 0,
          "trimming leaves a prefix of the line");
    for (std::size_t i = new_len; i < old_len; ++i) {
        check(white(before[i]), "trimming removes white space only");
    }
    check(std::memcmp(line.get() + old_len + 1, before.get() + old_len + 1,
                      line_size - old_len - 1) == 0,
          "trimming writes nothing past the string");
    if (new_len == old_len) {
        // Only a line of white space alone may keep a white end: there is nothing to stop at.
        bool only_white = true;
        for (std::size_t i = 0; i < old_len; ++i) only_white = only_white && white(before[i]);
        check(old_len == 0 || !white(before[old_len - 1]) || only_white,
              "an untrimmed line does not end in white space");
    } else {
        check(new_len > 0 && !white(line[new_len - 1]),
              "a trimmed line does not end in white space");
    }
    // Counting skips the trimming: it only holds if trimming never changes the verdict.
    check(is_entry_line(line.get()) == old_entry, "trimming keeps whether a line is an entry");

    check_split(line.get());
    check_split(before.get());
    check_line_ends(before.get(), line.get());

    // The null guards are part of the contract; checking them once costs nothing.
    static bool nulls_checked = false;
    if (!nulls_checked) {
        nulls_checked = true;
        char ip[ip_size];
        char url[url_size];
        check(format_string(nullptr) == line_null, "format_string(nullptr) is line_null");
        check(separate_str(nullptr, ip, url) == line_null &&
                  separate_str("a b", nullptr, url) == line_null &&
                  separate_str("a b", ip, nullptr) == line_null,
              "separate_str with a null argument is line_null");
    }
    return 0;
}

// Fuzzes loading a hosts file and changing one of its entries. The first input byte picks the
// line end the program writes (odd, as CR is, for Windows' CR LF; even, as LF is, for LF), the
// other bytes are the file.
// Every step is held against a small model of the file written here from the line rules alone,
// so that a check does not share code with what it checks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files.h"
#include "hosts.h"

namespace {

constexpr std::size_t piece_max = 4095;  // the reader's line buffer less its NUL
constexpr char bom[] = "\xEF\xBB\xBF";
constexpr std::size_t bom_size = 3;
constexpr char end_byte = '\x1A';  // DOS end-of-file byte: the last byte of a file is no line's
// The line end of the lines the program writes, for this input.
std::string eol = "\n";

// The process's own folder, so that parallel fuzzers never share a file.
std::string dir;
std::string path;
// What the input is going through, so that a report names the step that broke a rule.
const char* step = "load";

bool white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_load_update: %s: broken rule: %s\n", step, what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

struct Entry {
    std::string ip;
    std::string url;
};

struct Piece {
    std::string bytes;
    bool entry;
};

// The file as the reader must see it: a byte-order mark at the very start and an end-of-file
// byte at the very end, which belong to no line, then pieces of at most 4095 bytes, each ending at
// a line end or where the buffer is full. The mark takes nothing from the first line, or a rewrite
// that brings another line to the top would cut that line elsewhere than the read before it did.
struct Model {
    bool bom = false;
    bool end_byte = false;
    std::vector<Piece> pieces;
    bool ends_without_line_end() const {
        return !pieces.empty() && pieces.back().bytes.back() != '\n';
    }
};

Model split(const std::string& data) {
    Model m;
    m.bom = data.compare(0, bom_size, bom) == 0;
    std::size_t stop = data.size();
    m.end_byte = stop > (m.bom ? bom_size : 0) && data[stop - 1] == end_byte;
    if (m.end_byte) --stop;
    for (std::size_t pos = m.bom ? bom_size : 0; pos < stop;) {
        std::size_t limit = std::min(stop, pos + piece_max);
        std::size_t nl = data.find('\n', pos);
        std::size_t end = nl < limit ? nl + 1 : limit;
        std::string piece = data.substr(pos, end - pos);
        pos = end;
        bool entry = piece[0] != '#' && !white(piece[0]);
        m.pieces.push_back({piece, entry});
    }
    return m;
}

// What an entry piece loads as: read_ok and the entry, read_unsplittable without a space,
// read_part_too_long for an over-long part.
int parse(const std::string& piece, Entry* e) {
    std::string s = piece.substr(0, piece.find('\0'));  // the program sees a C string
    std::size_t end = s.size();
    while (end > 0 && white(s[end - 1])) --end;
    if (end > 0) s.resize(end);
    std::size_t space = s.find_first_of(" \t");
    if (space == std::string::npos) return read_unsplittable;
    std::size_t host = s.find_first_not_of(" \t", space);
    if (host == std::string::npos) host = s.size();
    if (space > 49 || s.size() - host > 299) return read_part_too_long;
    e->ip = s.substr(0, space);
    e->url = s.substr(host);
    return read_ok;
}

// The entries the model expects to load, or the code of the first piece that cannot load.
int expected_entries(const Model& m, std::vector<Entry>* entries) {
    entries->clear();
    for (const Piece& p : m.pieces) {
        if (!p.entry) continue;
        Entry e;
        int ret = parse(p.bytes, &e);
        if (ret != read_ok) return ret;
        entries->push_back(e);
    }
    return read_ok;
}

void write_bytes(const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    check(f != nullptr, "the temporary hosts file can be created");
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    check(std::fclose(f) == 0 && ok, "the temporary hosts file can be written");
}

std::string read_bytes() {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    check(f != nullptr, "the hosts file is there after the change");
    std::string bytes;
    char buf[1 << 14];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, got);
    check(!std::ferror(f), "the hosts file can be read back");
    std::fclose(f);
    return bytes;
}

// A change replaces the file through a temporary one beside it; none may be left over.
void check_folder_clean() {
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(dir, ec)) {
        if (item.path().filename() != "hosts") {
            std::fprintf(stderr, "left over: %s\n", item.path().c_str());
            fail("no temporary file is left in the folder");
        }
    }
    check(!ec, "the folder can be listed");
}

void check_table(const Table& table, int n, const std::vector<Entry>& expected) {
    check(n == static_cast<int>(expected.size()), "the table has one slot per entry line");
    for (int i = 0; i < n; ++i) {
        const Config& c = table[i];
        check(strnlen(c.ip, sizeof c.ip) <= 49 && strnlen(c.url, sizeof c.url) <= 299,
              "no field holds more than it can");
        check(expected[i].ip == c.ip && expected[i].url == c.url,
              "the table holds the entries of the file, in order");
    }
}

// Loads the file and holds the outcome against the model: the return code, the count, the
// entries, and outputs left alone on failure.
int load_and_check(const Model& m, Table* table, int* n, std::vector<Entry>* entries) {
    int want = expected_entries(m, entries);
    Table got;
    int count = -12345;
    int ret = hosts_read(&got, &count, path.c_str());
    if (ret != want) {
        std::fprintf(stderr, "hosts_read gave %d, the model %d\n", ret, want);
        fail("hosts_read succeeds, or fails with the code of the first bad entry line");
    }
    if (ret != read_ok) {
        check(!got && count == -12345, "a failed load writes neither the table nor the count");
        return ret;
    }
    check_table(got, count, *entries);
    *table = std::move(got);
    *n = count;
    return read_ok;
}

// Every line that is not an entry (as the reader's pieces) stands in the new file, in order and
// byte for byte; the last one may have gained the line end that a line appended after it needs,
// or, when it ends in a 0x1A that the entry after it kept from the end, lent that byte to the
// file as its end-of-file byte.
void check_lines_kept(const Model& before, const Model& after) {
    std::vector<const std::string*> old_lines;
    std::vector<const std::string*> new_lines;
    for (const Piece& p : before.pieces) {
        if (!p.entry) old_lines.push_back(&p.bytes);
    }
    for (const Piece& p : after.pieces) {
        if (!p.entry) new_lines.push_back(&p.bytes);
    }
    const std::string* last = before.pieces.empty() ? nullptr : &before.pieces.back().bytes;
    const std::string* new_last = after.pieces.empty() ? nullptr : &after.pieces.back().bytes;
    std::size_t j = 0;
    for (const std::string* line : old_lines) {
        bool may_grow = line == last && before.ends_without_line_end();
        auto same = [&](const std::string* now) {
            bool lent = now == new_last && after.end_byte && !before.end_byte;
            return *now == *line || (may_grow && *now == *line + eol) ||
                   (lent && *now + end_byte == *line);
        };
        while (j < new_lines.size() && !same(new_lines[j])) ++j;
        check(j < new_lines.size(), "every line that is not an entry is kept, in order");
        ++j;
    }
    // At most one new blank line, from a line end put before an appended entry.
    check(new_lines.size() <= old_lines.size() + 1, "no line is added but an entry");
}

// The file a rewrite must produce: every piece as it stood but the entry at `loc`, and for a
// replace the request on a line of its own.
std::string rewritten(const Model& m, int loc, const std::string& request, Mode mode) {
    std::string body;
    int i = 0;
    for (const Piece& p : m.pieces) {
        if (!p.entry || i++ != loc) body += p.bytes;
    }
    if (mode == add_mode) {
        if (!body.empty() && body.back() != '\n') body += eol;
        body += request + eol;
    }
    if (m.end_byte) body += end_byte;
    return (m.bom ? std::string(bom) : std::string()) + body;
}

std::uint64_t hash(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

// A new address of 1 to 49 bytes, often of the full 49, that the line rules accept as one.
std::string new_address(std::uint64_t h) {
    static const char digits[] = "0123456789abcdef.:";
    std::size_t len = (h & 3) == 0 ? 49 : 1 + (h >> 2) % 49;
    std::string ip;
    for (std::size_t i = 0; i < len; ++i) ip += digits[(h >> (i % 50)) % (sizeof digits - 1)];
    return ip;
}

// Replaces (add_mode) or deletes the entry for `url` in a fresh copy of the file and checks the
// new file and what it loads as.
void change_and_check(const std::string& original, const Model& m, const Table& table, int n,
                      const std::vector<Entry>& entries, std::size_t k, const std::string& ip,
                      Mode mode) {
    step = mode == add_mode ? "replace" : "delete";
    write_bytes(original);
    const std::string& url = entries[k].url;
    std::string request = ip + " " + url;
    int ret = hosts_write(table.get(), n, request.c_str(), mode, path.c_str());
    if (ret != write_ok) {
        std::fprintf(stderr, "hosts_write(mode %d) gave %d\n", mode, ret);
        fail("a replace or a delete of a loaded entry succeeds");
    }
    check_folder_clean();

    int loc = 0;
    while (entries[loc].url != url) ++loc;  // the first entry of that host is the one changed
    std::string now = read_bytes();
    std::string want = rewritten(m, loc, request, mode);
    // A line starting with the mark's bytes that moves to the top needs a mark of its own before
    // it, or the reader would take its first bytes for one: that mark is allowed.
    bool marked = !m.bom && want.compare(0, bom_size, bom) == 0 && now == bom + want;
    if (now != want && !marked) {
        fail(
            "the rewrite keeps every other line byte for byte, entries too, and adds only the "
            "request");
    }

    std::vector<Entry> expected = entries;
    expected.erase(expected.begin() + loc);
    if (mode == add_mode) expected.push_back({ip, url});
    Model after = split(now);
    check_lines_kept(m, after);
    std::vector<Entry> reloaded;
    Table again;
    int count = 0;
    if (load_and_check(after, &again, &count, &reloaded) != read_ok) {
        fail("the changed file loads again");
    }
    check_table(again, count, expected);
}

// A host that none of the entries has.
std::string unused_host(const std::vector<Entry>& entries) {
    std::string url = "fuzz-new-host";
    for (bool taken = true; taken;) {
        taken = false;
        for (const Entry& e : entries) taken = taken || e.url == url;
        if (taken) url += "x";
    }
    return url;
}

// Adds a host that the table does not have; the line goes at the end of the file.
void add_and_check(const std::string& original, const Model& m, const Table& table, int n,
                   const std::vector<Entry>& entries, const std::string& ip,
                   const std::string& url) {
    step = "add";
    write_bytes(original);
    std::string request = ip + " " + url;
    int ret = hosts_write(table.get(), n, request.c_str(), add_mode, path.c_str());
    if (ret != write_ok) {
        std::fprintf(stderr, "hosts_write(add) gave %d\n", ret);
        fail("adding a new host succeeds");
    }
    check_folder_clean();
    std::string now = read_bytes();
    std::string want = original.substr(0, original.size() - m.end_byte);
    if (n <= 0 || (!want.empty() && want.back() != '\n')) want += eol;
    want += request + eol;
    if (m.end_byte) want += end_byte;
    check(now == want, "an add only appends its line, before a final end-of-file byte");
    Model after = split(now);
    check_lines_kept(m, after);
    std::vector<Entry> expected = entries;
    expected.push_back({ip, url});
    std::vector<Entry> reloaded;
    Table again;
    int count = 0;
    if (load_and_check(after, &again, &count, &reloaded) != read_ok)
        fail("the grown file loads again");
    check_table(again, count, expected);
}

// Deleting a host that the table does not have fails and leaves the file as it was, but for the
// line end that an update writes first into a file without entries.
void delete_missing_and_check(const std::string& original, const Model& m, const Table& table,
                              int n, const std::string& url) {
    step = "delete of a missing host";
    write_bytes(original);
    std::string request = "10.0.0.1 " + url;
    int ret = hosts_write(table.get(), n, request.c_str(), delete_mode, path.c_str());
    if (ret != write_missing) {
        std::fprintf(stderr, "hosts_write(delete of a missing host) gave %d\n", ret);
        fail("deleting a host that is not there gives write_missing");
    }
    check_folder_clean();
    std::string expected = original;
    if (n <= 0) expected.insert(original.size() - m.end_byte, eol);
    check(read_bytes() == expected, "a failed delete leaves the file byte for byte as it was");
}

void remove_dir() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The program reports each step on stdout; printing it would slow the fuzzer down.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fuzz_load_update.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        std::perror("fuzz_load_update: mkdtemp");
        std::abort();
    }
    dir = name.data();
    path = dir + "/hosts";
    std::atexit(remove_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    eol = data[0] & 1 ? "\r\n" : "\n";
    own_line_end = eol.c_str();
    ++data;
    --size;
    step = "load";
    std::string original(reinterpret_cast<const char*>(data), size);
    write_bytes(original);
    Model m = split(original);
    Table table;
    int n = 0;
    std::vector<Entry> entries;
    int ret = load_and_check(m, &table, &n, &entries);
    check_folder_clean();
    if (ret != 0) return 0;

    std::uint64_t h = hash(data, size);
    std::string ip = new_address(h >> 8);
    if (n > 0) {
        std::size_t k = h % static_cast<std::uint64_t>(n);
        change_and_check(original, m, table, n, entries, k, ip, add_mode);
        change_and_check(original, m, table, n, entries, k, entries[k].ip, delete_mode);
    }
    std::string url = unused_host(entries);
    delete_missing_and_check(original, m, table, n, url);
    add_and_check(original, m, table, n, entries, ip, url);
    return 0;
}

// The least work that a list or a delete of the hosts table can do, as the bench's yardstick:
// count the entry lines, take one 350-byte slot per entry, fill the slots in a second pass, then
// print every slot, or copy the file without one entry line into a synced temporary file that is
// renamed over it. Nothing else: no menu, no checks beyond what keeps the result right.
//
//   hosts-floor list FILE
//   hosts-floor delete FILE HOST
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

struct Config {
    char ip[50];
    char url[300];
};

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_entry(const char* line) { return line[0] != '#' && !is_space(line[0]); }

// Hands every line of `f` (with its line end) to `visit`, straight from a 64 KiB read buffer.
template <class Visit>
bool each_line(std::FILE* f, Visit visit) {
    static char buf[1 << 16];
    std::size_t kept = 0;
    for (;;) {
        std::size_t got = std::fread(buf + kept, 1, sizeof buf - kept, f);
        char* at = buf;
        char* end = buf + kept + got;
        while (char* nl = static_cast<char*>(std::memchr(at, '\n', end - at))) {
            visit(at, nl + 1 - at);
            at = nl + 1;
        }
        kept = end - at;
        if (got == 0 || kept == sizeof buf) {
            if (kept) visit(at, kept);
            if (got == 0) return !std::ferror(f);
            kept = 0;
        }
        std::memmove(buf, at, kept);
    }
}

long count_entries(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return -1;
    long count = 0;
    bool ok = each_line(f, [&](const char* line, std::size_t) { count += is_entry(line); });
    std::fclose(f);
    return ok ? count : -1;
}

Config* alloc_table(long count) {
    if (count == 0) return nullptr;
    void* slots = mmap(nullptr, count * sizeof(Config), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return slots == MAP_FAILED ? nullptr : static_cast<Config*>(slots);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Splits a trimmed entry line at its first space or tab into the slot, the host text after the
// blanks there; false when it cannot.
bool split(const char* line, std::size_t size, Config* slot) {
    while (size > 0 && is_space(line[size - 1])) --size;
    std::size_t ip = 0, at;
    while (ip < size && !is_blank(line[ip])) ++ip;
    for (at = ip; at < size && is_blank(line[at]);) ++at;
    std::size_t url = size - at;
    if (ip == size || ip >= sizeof slot->ip || url >= sizeof slot->url) return false;
    std::memcpy(slot->ip, line, ip);
    slot->ip[ip] = '\0';
    std::memcpy(slot->url, line + at, url);
    slot->url[url] = '\0';
    return true;
}

bool fill_table(const char* path, Config* table, long count) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    long i = 0;
    bool split_all = true;
    bool read_all = each_line(f, [&](const char* line, std::size_t size) {
        if (!is_entry(line)) return;
        split_all = split_all && i < count && split(line, size, &table[i]);
        ++i;
    });
    std::fclose(f);
    return read_all && split_all && i == count;
}

// Writes `before`, the slot's address, a space, its host text and `after` in one write.
void put(std::FILE* f, const Config& slot, const char* before, const char* after) {
    char line[sizeof(Config) + 4];
    char* end = line;
    for (const char* part : {before, slot.ip, " ", slot.url, after}) {
        std::size_t size = std::strlen(part);
        std::memcpy(end, part, size);
        end += size;
    }
    std::fwrite(line, 1, end - line, f);
}

int list(const Config* table, long count) {
    for (long i = 0; i < count; ++i) put(stdout, table[i], "[", "]\n");
    return std::fflush(stdout) == 0 ? 0 : 1;
}

long find(const Config* table, long count, const char* host) {
    for (long i = 0; i < count; ++i) {
        if (std::strcmp(table[i].url, host) == 0) return i;
    }
    return -1;
}

// Copies the file's lines as they stand, but for the entry `skip`.
bool copy_without(const char* path, std::FILE* to, long skip) {
    std::FILE* from = std::fopen(path, "rb");
    if (!from) return false;
    long i = 0;
    bool ok = each_line(from, [&](const char* line, std::size_t size) {
        if (!is_entry(line) || i++ != skip) std::fwrite(line, 1, size, to);
    });
    std::fclose(from);
    return ok;
}

int remove_entry(const char* path, const Config* table, long count, const char* host) {
    long loc = find(table, count, host);
    if (loc < 0) return 1;
    std::string temp = std::string(path) + ".floor";
    std::FILE* to = std::fopen(temp.c_str(), "wb");
    if (!to) return 1;
    bool ok = copy_without(path, to, loc) && std::fflush(to) == 0 && fsync(fileno(to)) == 0;
    ok = std::fclose(to) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path) == 0) return 0;
    std::remove(temp.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool listing = argc == 3 && std::strcmp(argv[1], "list") == 0;
    if (!listing && !(argc == 4 && std::strcmp(argv[1], "delete") == 0)) {
        std::fprintf(stderr, "usage: hosts-floor list FILE | delete FILE HOST\n");
        return 2;
    }
    static char out[1 << 16];
    std::setvbuf(stdout, out, _IOFBF, sizeof out);
    long count = count_entries(argv[2]);
    Config* table = count < 0 ? nullptr : alloc_table(count);
    if (count < 0 || (count > 0 && !table) || !fill_table(argv[2], table, count)) {
        std::perror("hosts-floor");
        return 1;
    }
    return listing ? list(table, count) : remove_entry(argv[2], table, count, argv[3]);
}

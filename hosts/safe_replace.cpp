// Replacing a file by a new version without ever leaving a partial one in its place.
#include <cerrno>
#include <filesystem>
#include <string>

#include "hosts.h"

namespace {

// The file a link leads to, so that the link is kept and its target replaced.
std::string resolve(const char* path) {
    std::error_code ec;
    std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? std::string(path) : target.string();
}

// Writes the stream's data to the disk and closes it: 0, or -1 with errno set.
int finish(File& f) {
    bool written = std::fflush(f.get()) == 0 && sync_file(f.get()) == 0;
    return close_file(f) == 0 && written ? 0 : -1;
}

// Copies `from` over `to` in place, for when renaming cannot replace `to` (a bind mount, another
// device, a file locked by another program): 0, or -1 with errno set.
int copy_over(const char* from, const char* to) {
    File in = open_file(from, "rb");
    File out = in ? open_file(to, "wb") : nullptr;
    if (!out) return -1;
    char piece[1 << 16];
    std::size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, in.get())) > 0) {
        if (std::fwrite(piece, 1, got, out.get()) != got) return -1;
    }
    return std::ferror(in.get()) ? -1 : finish(out);
}

}  // namespace

Replacement::Replacement(const char* path, bool binary) : target_(resolve(path)) {
    std::string stem = target_ + ".new-" + std::to_string(process_id()) + "-";
    for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
        temp_ = stem + std::to_string(attempt);
        file_ = create_exclusive(temp_.c_str(), binary);
        if (!file_ && errno != EEXIST) break;
    }
    if (!file_) {
        temp_.clear();
        return;
    }
    copy_permissions(target_.c_str(), file_.get());
    constexpr std::size_t buffer_size = 1 << 16;
    buffer_.reset(new char[buffer_size]);
    std::setvbuf(file_.get(), buffer_.get(), _IOFBF, buffer_size);
}

Replacement::~Replacement() {
    if (temp_.empty() || keep_) return;
    file_.reset();
    std::remove(temp_.c_str());
}

int Replacement::commit() {
    if (finish(file_) != 0) {
        report("fflush err");
        return -1;
    }
    if (rename_over(temp_.c_str(), target_.c_str()) == 0) {
        temp_.clear();
        return 0;
    }
    int rename_errno = errno;
    if (copy_over(temp_.c_str(), target_.c_str()) == 0) {
        std::remove(temp_.c_str());
        temp_.clear();
        return 0;
    }
    report("copy err");
    errno = rename_errno;
    report("rename err");
    // Only the temporary file is sure to hold the whole new content now: keep it for the user.
    keep_ = true;
    report_text("new file kept: %s\n", temp_.c_str());
    return -1;
}

// Replacing a file by a new version without ever leaving a partial one in its place.
//
// The new version is written to "NAME.new-PID-K" beside the file, synced, and renamed over it.
// Where renaming cannot replace the file (a bind mount, as containers mount their hosts file),
// the old content is first saved to "NAME.old-PID-K-SIZE", synced, and only then is the file
// overwritten in place; any failure puts the saved bytes back. Both files carry their process's
// id and a random number in their name, so that no other user can take the name first, and are
// locked while it writes them, so a later run can tell the leftovers of a killed one and remove
// them. The folder may be one that other users write: every name in it is opened without
// following links or waiting on a FIFO, and only this user's own files are read or removed.
#include "replacement.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <random>
#include <string>

#include "files.h"
#include "new_version.h"
#include "streams.h"
#include "trust.h"

namespace fs = std::filesystem;

namespace {

constexpr char new_mark[] = ".new-";
constexpr char old_mark[] = ".old-";

// The file a link leads to, so that the link is kept and its target replaced: empty (errno set)
// after a report for a link that the system cannot follow, which a rename would replace.
std::string resolve(const char* path) {
    const char* why;
    std::string target = final_path(path, &why);
    int saved = errno;
    if (why) report_text("link err: %s is %s\n", path, why);
    errno = saved;
    return target;
}

// Removes `path`, reporting a failure: true when it is gone.
bool remove_file(const std::string& path) {
    if (std::remove(path.c_str()) == 0 || errno == ENOENT) return true;
    report_text("remove err: %s: %s\n", path.c_str(), error_text(errno));
    return false;
}

// How an overwrite went: the target holds the new bytes, is unchanged, or may hold a mix.
enum class Overwritten { done, untouched, mixed };

// Opens the regular file `path`, through no link; in a shared folder on its folder's mount alone.
std::FILE* open_plain(const std::string& path, const char* mode, bool shared, const char** why) {
    return shared ? open_same_mount(path.c_str(), mode, why)
                  : open_regular(path.c_str(), mode, why);
}

// Overwrites the file `to` with all of the file `from`, without emptying it first, then cuts
// it to the new length and syncs it: done; untouched (errno set) when either could not be
// opened; mixed (errno set) when `to` may now hold a mix of both.
Overwritten overwrite(const std::string& from, const std::string& to, bool shared) {
    const char* why;
    File in = open_file(from.c_str(), "rb");
    File out(in ? open_plain(to, "r+b", shared, &why) : nullptr);
    if (!out) return Overwritten::untouched;
    if (copy_stream(in.get(), out.get()) != copy_ok) return Overwritten::mixed;
    long size = std::ftell(out.get());
    if (size < 0 || !flush_file(out.get(), false) || !resize_file(out.get(), size) ||
        !sync_file(out.get()) || !close_file(out)) {
        return Overwritten::mixed;
    }
    return Overwritten::done;
}

// Opens a file of this user's own for reading, never through a link nor waiting on a FIFO that
// another user put in its place, nor in a `shared` folder into another mount: null when it is not
// one.
File open_own(const std::string& path, bool shared) {
    const char* why;
    File f(open_plain(path, "rb", shared, &why));
    return f && !untrusted(f.get(), false) ? std::move(f) : nullptr;
}

// Whether the target and a leftover, this user's files, hold the same bytes; false when either
// cannot be read. A leftover is never a mount point: one found there is not this program's.
bool same_content(const std::string& target, const std::string& leftover, bool shared) {
    File fa = open_own(target, shared), fb = open_own(leftover, true);
    if (!fa || !fb) return false;
    char pa[1 << 14], pb[1 << 14];
    for (;;) {
        std::size_t na = std::fread(pa, 1, sizeof pa, fa.get());
        std::size_t nb = std::fread(pb, 1, sizeof pb, fb.get());
        if (na != nb || std::memcmp(pa, pb, na) != 0) return false;
        if (na == 0) return !std::ferror(fa.get()) && !std::ferror(fb.get());
    }
}

// What one earlier run left beside the target: its new version, and its old copy when it was
// overwriting the target in place.
struct Leftover {
    unsigned long pid = 0;
    std::string fresh;  // NAME.new-PID-K
    std::string old;    // NAME.old-PID-K-SIZE, SIZE being the old content's
    unsigned long long old_size = 0;
};

// Files a leftover of this program's, if the name is one, under the run it belongs to. Only
// this user's own, of runs that ended, take room: names that others plant cost no memory.
void collect(const fs::path& entry, const std::string& name,
             std::map<std::string, Leftover>* runs) {
    std::string file = entry.filename().string();
    if (file.rfind(name, 0) != 0) return;
    const char* rest = file.c_str() + name.size();
    bool old = std::strncmp(rest, old_mark, std::strlen(old_mark)) == 0;
    if (!old && std::strncmp(rest, new_mark, std::strlen(new_mark)) != 0) return;
    const char* s = rest + std::strlen(new_mark);
    unsigned long pid = 0, k = 0;
    unsigned long long size = 0;
    int used = 0;
    int parts = old ? std::sscanf(s, "%lu-%lu-%llu%n", &pid, &k, &size, &used)
                    : std::sscanf(s, "%lu-%lu%n", &pid, &k, &used);
    if (!std::isdigit(static_cast<unsigned char>(s[0])) || parts != (old ? 3 : 2) || s[used])
        return;
    std::string path = entry.string();
    if (!abandoned(path.c_str(), pid)) return;
    Leftover& run = (*runs)[std::to_string(pid) + "-" + std::to_string(k)];
    run.pid = pid;
    (old ? run.old : run.fresh) = std::move(path);
    if (old) run.old_size = size;
}

// Removes what a killed run left, unless it was overwriting the target in place and the target
// now holds neither version whole: then both stay, named, for the user to choose from. An old
// copy alone is no run's leftover (a run removes it before its new version): it stays, as any
// name the program did not make, or one whose removal it reported.
void clean(const std::string& target, const Leftover& run, bool shared) {
    if (run.fresh.empty()) return;
    std::error_code ec;
    bool whole_old = !run.old.empty() && fs::file_size(run.old, ec) == run.old_size && !ec;
    if (whole_old && !same_content(target, run.old, shared) &&
        !same_content(target, run.fresh, shared)) {
        report_text("interrupted copy: old file kept: %s\n", run.old.c_str());
        if (!run.fresh.empty())
            report_text("interrupted copy: new file kept: %s\n", run.fresh.c_str());
        return;
    }
    // The old copy goes first: alone, a new version is never the only whole copy.
    if (!run.old.empty() && !remove_file(run.old)) return;
    if (!run.fresh.empty()) remove_file(run.fresh);
}

}  // namespace

// Names that other users made there are left alone and take no memory.
void remove_leftovers(const std::string& target, bool shared_folder) {
    std::string name = fs::path(target).filename().string();
    std::map<std::string, Leftover> runs;
    std::error_code ec;
    // Stepped with an error code: a folder that cannot be read only means nothing is removed.
    for (fs::directory_iterator it(folder_of(target), ec), end; !ec && it != end;
         it.increment(ec)) {
        collect(it->path(), name, &runs);
    }
    for (const auto& run : runs) clean(target, run.second, shared_folder);
}

// The new file gets an unguessable name and, while still empty, its final owner and
// permissions. In a shared folder (the working folder) the new version takes no owner or
// attribute of the file it replaces, and only this user's file is overwritten; `mode_from` gives
// the permission bits when the target gives none (in a shared folder, or missing).
Replacement::Replacement(const char* path, const Placement& place)
    : place_(place), target_(place.follow_links ? resolve(path) : path) {
    if (target_.empty()) return;
    // In a folder that others may write, the caller sweeps before its turn (remove_leftovers).
    if (!place.shared_folder) remove_leftovers(target_, false);
    // Taken before the new file is made, so that a lack of memory leaves nothing behind.
    constexpr std::size_t buffer_size = 1 << 16;
    buffer_.reset(new (std::nothrow) char[buffer_size]);
    if (!buffer_) {
        errno = ENOMEM;
        return;
    }
    if (!made()) {
        int saved = errno;
        settle();
        errno = saved;
        return;
    }
    std::setvbuf(file_.get(), buffer_.get(), _IOFBF, buffer_size);
}

// Nothing may escape once the new file exists: it would stay behind, since no destructor runs
// for an object whose constructor threw.
bool Replacement::made() {
    try {
        return create() && inherit();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
}

// Creates the new file under a name that another user cannot compute and make first.
bool Replacement::create() {
    std::random_device random;
    std::string stem = target_ + new_mark + std::to_string(process_id()) + "-";
    for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
        temp_ = stem + std::to_string(random());
        file_.reset(create_exclusive(temp_.c_str()));
        if (!file_ && errno != EEXIST) break;
    }
    if (!file_) {
        temp_.clear();
        return false;
    }
    // From here until the new file is in place or gone, a report waits for that repair.
    hold_reports();
    holding_ = true;
    return true;
}

namespace {

// The report tag of the step that failed in giving a new file what it takes from the target.
const char* tag_of(FailedStep step) {
    switch (step) {
    case FailedStep::stat: return "stat err";
    case FailedStep::chown: return "chown err";
    case FailedStep::xattr: return "xattr err";
    case FailedStep::chattr: return "chattr err";
    case FailedStep::chmod: return "chmod err";
    case FailedStep::none: break;
    }
    return nullptr;
}

}  // namespace

// Gives the new file, still empty, the owner and permissions it will keep, so that no one it
// does not let write the target ever holds it open for writing. In a shared folder the old file
// may be another user's, so only `mode_from` counts there.
bool Replacement::inherit() {
    std::error_code ec;
    // A target that cannot be looked at is taken as there, so that copy_permissions says why.
    bool exists = !place_.shared_folder && (fs::exists(target_, ec) || ec);
    whole_ = exists;
    const char* from = exists ? target_.c_str() : place_.mode_from;
    FailedStep failed = from ? copy_permissions(from, file_.get(), exists) : FailedStep::none;
    // A file made anew is read by others as the system's own are, by what its folder grants
    // them; one that replaces a file took that file's permissions already.
    bool made_anew = failed == FailedStep::none && !exists && !place_.shared_folder;
    if (made_anew && !inherit_access(temp_.c_str(), file_.get())) failed = FailedStep::chmod;
    if (failed != FailedStep::none) report(tag_of(failed));
    return failed == FailedStep::none;
}

Replacement::~Replacement() { settle(); }

// A new file kept for the user (temp_ cleared) stays.
void Replacement::settle() {
    file_.reset();
    if (!temp_.empty()) remove_file(temp_);
    temp_.clear();
    if (holding_) reports_due();
    holding_ = false;
}

// Whatever came of it, the new file is in place or gone by the time its reports come out.
Replaced Replacement::commit(const FileStamp* read) {
    Replaced ret = replace(read);
    int saved = errno;
    settle();
    errno = saved;
    return ret;
}

// Failed leaves the target with its old content, or, when not even that could be restored, both
// versions kept and named. Changed, with nothing changed, is for a `read` stamp that the target
// no longer matches.
Replaced Replacement::replace(const FileStamp* read) {
    read_ = read;
    // The bits that a write takes off go on after the last one. Closed before the rename, which
    // Windows refuses for an open file.
    if (!flush_file(file_.get(), false)) return failed_to("fflush err");
    FailedStep failed = whole_ ? copy_privileges(target_.c_str(), file_.get()) : FailedStep::none;
    if (failed != FailedStep::none) return failed_to(tag_of(failed));
    if (!flush_file(file_.get(), true) || !close_file(file_)) return failed_to("fflush err");
    // Checked after the sync, which takes the longest, just before the rename: whatever another
    // program wrote since the target was read would otherwise be lost.
    Replaced as_read = still_as_read();
    if (as_read != Replaced::done) return as_read;
    if (!rename_over(temp_.c_str(), target_.c_str())) return copy_in_place(errno);
    temp_.clear();
    // The rename is only durable once the folder that holds the name is.
    if (!sync_folder(folder_of(target_).c_str())) report("sync err");
    return Replaced::done;
}

Replaced Replacement::failed_to(const char* tag) {
    report(tag);
    return Replaced::failed;
}

// Done stands for "nothing stops the replacement": no stamp was given, or the target is still
// the version it stamps.
Replaced Replacement::still_as_read() const {
    FileStamp now;
    if (!read_) return Replaced::done;
    if (stamp_at(target_.c_str(), &now))
        return same_version(now, *read_) ? Replaced::done : Replaced::changed;
    if (errno == ENOENT) return Replaced::changed;
    report("stat err");
    return Replaced::failed;
}

// Saves the old content beside the target, whole and synced (its name too, so that it survives
// a power cut), before anything overwrites it; the copy stays open, and so locked, until the
// in-place copy is done.
File Replacement::save_old(std::string* path) {
    const char* why;
    File from(open_plain(target_, "rb", place_.shared_folder, &why));
    // Overwritten in place, another user's file in a shared folder would stay theirs to change.
    if (from && place_.shared_folder && untrusted(from.get(), false)) {
        errno = EPERM;
        return nullptr;
    }
    if (!from || std::fseek(from.get(), 0, SEEK_END) != 0) return nullptr;
    long size = std::ftell(from.get());
    std::rewind(from.get());
    std::string run = temp_.substr(temp_.rfind(new_mark) + std::strlen(new_mark));
    std::string name = target_ + old_mark + run + "-" + std::to_string(size);
    File saved(create_exclusive(name.c_str()));
    if (!saved) return nullptr;
    if (copy_stream(from.get(), saved.get()) != copy_ok || !flush_file(saved.get(), true) ||
        !sync_folder(folder_of(target_).c_str())) {
        int saved_errno = errno;
        saved.reset();
        remove_file(name);
        errno = saved_errno;
        return nullptr;
    }
    *path = std::move(name);  // cannot fail, so the saved copy cannot be lost
    return saved;
}

// For when renaming cannot replace the target: done once it holds the new content; failed
// after a report, with the target holding its old content, or, if even that could not be put
// back, with both versions kept and named; changed when another program wrote the target while
// its old content was saved.
Replaced Replacement::copy_in_place(int rename_errno) {
    std::string old_path;
    File old = save_old(&old_path);
    // Saving took time, in which another program may have written the target.
    Replaced as_read = old ? still_as_read() : Replaced::done;
    if (as_read != Replaced::done) {
        old.reset();
        remove_file(old_path);
        return as_read;
    }
    Overwritten ret =
        old ? overwrite(temp_, target_, place_.shared_folder) : Overwritten::untouched;
    if (ret == Overwritten::done) return copied(old, old_path, rename_errno);
    return not_copied(ret == Overwritten::mixed, old, old_path, rename_errno);
}

Replaced Replacement::copied(File& old, const std::string& old_path, int rename_errno) {
    old.reset();
    remove_file(old_path);
    remove_file(temp_);
    temp_.clear();
    // Readers could see the copy half done: the user is told that one rename did not hold.
    if (in_place_copy_said()) {
        errno = rename_errno;
        report("rename err");
        report_text("copied in place: %s\n", target_.c_str());
    }
    return Replaced::done;
}

Replaced Replacement::not_copied(bool mixed, File& old, const std::string& old_path,
                                 int rename_errno) {
    int copy_errno = errno;
    // The old content goes back before a word is said of the failure.
    bool restored =
        !mixed || overwrite(old_path, target_, place_.shared_folder) == Overwritten::done;
    int restore_errno = errno;
    errno = rename_errno;
    report("rename err");
    errno = copy_errno;
    report("copy err");
    if (!restored) {
        errno = restore_errno;
        report("restore err");
        report_text("old file kept: %s\nnew file kept: %s\n", old_path.c_str(), temp_.c_str());
        temp_.clear();  // kept: the destructor leaves it
        return Replaced::failed;
    }
    old.reset();
    if (!old_path.empty()) remove_file(old_path);
    return Replaced::failed;
}

// Replacing a file by a new version, never leaving a partial one in its place.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "platform.h"
#include "streams.h"

/// Where a Replacement puts its new version, and what that version takes from the file it replaces.
struct Placement {
    /// Whether a link at the path is kept and the file it leads to replaced.
    bool follow_links = true;
    /// Whether other users may write the folder (the working folder): then the new version takes
    /// no owner or attribute of the file it replaces, only this user's file is overwritten, and
    /// the caller sweeps the leftovers there before its turn.
    bool shared_folder = false;
    /// The file whose permission bits the new version takes when the target gives it none (in a
    /// shared folder, or missing); with none it stays private.
    const char* mode_from = nullptr;
};

/// Removes what this user's killed runs left beside `target`; names that other users made there
/// are left alone and take no memory.
void remove_leftovers(const std::string& target);

/// How Replacement::commit went: the target holds the new content, or still the old, or changed.
enum class Replaced { done, failed, changed };

/// A new version of a file, written beside it and put in its place only once it is whole.
class Replacement {
public:
    /// Creates the new file beside the target, `path` or where its link leads, under an unguessable
    /// name with its final owner and permissions: stream() null (errno set) on failure.
    explicit Replacement(const char* path, const Placement& place = {});
    /// Removes the new file unless commit() put it in place or had to keep it.
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    /// The binary stream to write the new content to; null when the new file could not be made.
    std::FILE* stream() const { return file_.get(); }
    /// Syncs the new file and puts it in place: 0 when the
    /// target holds the new content; replace_failed after a report on stderr, with the target
    /// holding its old content, or, when not even that could be restored, both versions kept
    /// and named; replace_changed, silently and with nothing changed, when `read` is given and
    /// the target is no longer the version it stamps.
    Replaced commit(const FileStamp* read = nullptr);

private:
    /// 0 while the target is the version read_ stamps; replace_changed once it is not or is gone;
    /// replace_failed after a report when that cannot be told.
    Replaced still_as_read() const;
    File save_old(std::string* path);
    bool made();
    Replaced copy_in_place(int rename_errno);
    bool create();
    bool inherit();

    Placement place_;
    std::string target_;
    std::string temp_;
    std::unique_ptr<char[]> buffer_;
    File file_;
    const FileStamp* read_ = nullptr;
};

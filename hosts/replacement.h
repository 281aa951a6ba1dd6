// Replacing a file by a new version, never leaving a partial one in its place.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "streams.h"

/// One version of a file (files.h).
struct FileStamp;

/// Where a Replacement puts its new version, and what that version takes from the file it replaces.
struct Placement {
    /// Whether a link at the path is kept and the file it leads to replaced.
    bool follow_links = true;
    /// Whether other users may write the folder: then nothing of theirs is taken or overwritten.
    bool shared_folder = false;
    /// The file whose permission bits a new version takes when the target gives none; null:
    /// private.
    const char* mode_from = nullptr;

    /// A new version in a folder others may write, taking `from`'s bits, never through a link.
    static constexpr Placement in_shared_folder(const char* from) { return {false, true, from}; }
    /// A new version beside a link's target, taking `from`'s bits if the target gives none.
    static constexpr Placement through_links(const char* from) { return {true, false, from}; }
};

/// Removes what this user's killed runs left beside `target`, never touching other users' names;
/// in a `shared_folder` never looking into another mount.
void remove_leftovers(const std::string& target, bool shared_folder);

/// How Replacement::commit went: the target holds the new content, or still the old, or changed.
enum class Replaced { done, failed, changed };

/// A new version of a file, written beside it and put in its place only once it is whole.
class Replacement {
public:
    /// Creates the new file beside `path`, or its link's target: stream() null (errno set) on
    /// failure.
    explicit Replacement(const char* path, const Placement& place = {});
    /// Removes the new file unless commit() put it in place or had to keep it.
    ~Replacement();
    /// Not copied: one object owns the new file.
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    /// The binary stream to write the new content to; null when the new file could not be made.
    std::FILE* stream() const { return file_.get(); }
    /// Syncs the new file and puts it in place, or removes it: done; failed after a report;
    /// changed, silently.
    Replaced commit(const FileStamp* read = nullptr);

private:
    /// Puts the new file in place as commit() does, but leaves it to commit() to remove it.
    Replaced replace(const FileStamp* read);
    /// Reports the failed step `tag` of a commit: failed.
    Replaced failed_to(const char* tag);
    /// Removes the new file unless it is in place or kept, then lets the reports held meanwhile
    /// out.
    void settle();
    /// Whether the target is still the version read_ stamps: done, changed, or failed after a
    /// report.
    Replaced still_as_read() const;
    /// Saves the old content beside the target into `*path`: null (errno set) when it cannot.
    File save_old(std::string* path);
    /// Creates the new file and gives it its permissions: false (errno set) when it cannot.
    bool made();
    /// Copies the new content over the target in place: done, failed after a report, or changed.
    Replaced copy_in_place(int rename_errno);
    /// Ends a copy in place that put the new content there, removing the spare files: done.
    Replaced copied(File& old, const std::string& old_path, int rename_errno);
    /// Reports a failed copy in place, putting the old content back when `mixed`: failed.
    Replaced not_copied(bool mixed, File& old, const std::string& old_path, int rename_errno);
    /// Creates the new file under an unguessable name: false (errno set) when it cannot.
    bool create();
    /// Gives the new file its final owner and permissions: false after a report.
    bool inherit();

    Placement place_;                  ///< where the new version goes
    std::string target_;               ///< the file replaced
    std::string temp_;                 ///< the new file's name while it is this one's to remove
    std::unique_ptr<char[]> buffer_;   ///< the new file's stream buffer
    File file_;                        ///< the new file
    const FileStamp* read_ = nullptr;  ///< the version commit() replaces, if given
    bool whole_ = false;               ///< whether the new file takes all the target's rights
    bool holding_ = false;             ///< whether reports wait for the new file's end
};

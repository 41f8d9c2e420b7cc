// Replacing files so that a reader sees either the whole old content or the
// whole new content, and identifying files by their SHA-256 digest.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/folder.h"
#include "store/fault.h"

namespace qrl {

// Creates `path` and every missing ancestor. Directories that already exist,
// and an empty path, are fine.
Status create_directories(const std::string& path);

// Writes `content` to a fresh, uniquely named temporary file
// (".qrl-write-<uuid>.tmp") in `folder`, flushes it and moves it over `name`
// there with write-through. A failed write, flush or move deletes the
// temporary file; the target stays unchanged. Fails with IO_ERROR.
Expected<void, Fault> write_file_atomically(const platform::Folder& folder, std::string_view name,
                                            std::string_view content,
                                            platform::FileMode mode = platform::FileMode::kRecord);

// The same for a target given by path: creates the parent chain when missing
// and works in the parent folder. Fails with INVALID_PATH when `target` has no
// parent.
Expected<void, Fault> write_file_atomically(const std::string& target, std::string_view content,
                                            platform::FileMode mode = platform::FileMode::kRecord);

// How much of a file is read at once when it is copied or hashed: large enough
// that the system calls cost nothing beside the copying and hashing, small
// enough that the program's memory does not grow with the payload.
inline constexpr std::size_t kCopyChunk = std::size_t{1} << 20;

// Copies the rest of the open `source` to `name` in `folder` exactly as
// write_file_atomically writes a buffer, through the same steps, chunk by
// chunk. A failure of the writing is returned as its Fault's display text
// ("IO_ERROR: ..."); a failure to read the source as that read error, as is. A
// source that ends before the size it had when it was opened fails with
// platform::ended_early(). After any failure the target is unchanged and no
// temporary file remains.
Status copy_file_atomically(const platform::Folder& folder, std::string_view name,
                            platform::InputFile& source, platform::FileMode mode);

// Writes `content` to the fixed temporary file `temp` in `folder`, flushes it
// and moves it over `target` there without write-through. Whatever a failed or
// foreign write left under the temporary name (a file, a link, a FIFO, a hard
// link to another file) is deleted first and the file created anew, so that
// nothing is ever written through it. After a failure the temporary file may
// stay; the next call deletes it.
Status write_file_via_fixed_temp(const platform::Folder& folder, std::string_view temp,
                                 std::string_view target, std::string_view content);

// The same for a temporary file and target given by path (the target's
// folder; the temporary file's name is its last component).
Status write_file_via_fixed_temp(const std::string& temp, const std::string& target,
                                 std::string_view content);

// The file name of a temporary file of write_file_atomically: ".qrl-write-",
// a random version-4 UUID, ".tmp".
Result<std::string> unique_temp_name();

// Whether `name` is that of a temporary file of write_file_atomically.
bool is_write_temp_name(std::string_view name);

// Removes the temporary files of write_file_atomically that runs killed while
// writing left in `folder`. Only a run that holds the lease calls it, before it
// writes into the folder: no other run writes there then. A file that cannot
// be removed (on Windows, one another program holds) stays; that is never a
// failure.
void remove_write_leftovers(const platform::Folder& folder);

// The SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

// The SHA-256 text of a whole file, read in chunks of kCopyChunk; an open or
// read failure is returned unchanged. A file whose size changes while it is
// read is hashed as read.
Result<std::string> file_sha256(const std::string& path);
// The same for the file `name` in `folder`.
Result<std::string> file_sha256(const platform::Folder& folder, std::string_view name);
// The same for a file already open, read from where it stands; `shown` names
// it in the log.
Result<std::string> file_sha256(platform::InputFile& file, const std::string& shown);

}  // namespace qrl

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Small, hostile-input-safe file operations shared by the stores under config/.
namespace quorvel::files {

// The whole content of a regular file of at most `limit` bytes. Absent for a missing
// file, a directory, a FIFO or device (never opened for blocking reads), a symlink
// loop, an unreadable file, or one larger than `limit`.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit);

// Whether something (even a broken symlink) exists at `path`.
bool exists(const std::string& path);

// Creates `directory` and its missing parents, new ones with mode 0700.
bool makeDirectories(const std::string& directory);

// Replaces `path` with `content` so that a crash leaves either the old or the new file:
// a temporary file in the same directory with `mode`, synced, then renamed over `path`.
// Creates the directory if needed. False when any step failed (the old file then stays).
bool writeAtomically(const std::string& path, std::string_view content, unsigned mode);

// The directory part of `path` ("." when there is none).
std::string parentOf(const std::string& path);

}  // namespace quorvel::files

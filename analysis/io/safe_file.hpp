#pragma once
// Writing a file so that readers never see it half-written: the bytes go to a
// temporary file in the same folder, which then replaces the target in one rename.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace corvale {

// Writes `bytes` to `path`. A regular file, or a path that does not exist yet, is
// written through a temporary file in the same folder with a fresh name (created
// exclusively, so a planted file or symbolic link is never followed) that then
// replaces `path` in one rename; a symbolic link at `path` is replaced, not followed.
// Anything else that exists (a FIFO, a terminal, /dev/stdout on a pipe) is written
// directly, since renaming over it would replace the special file instead of writing
// to it; a FIFO without a reader is an error rather than a wait.
// Throws std::runtime_error "<path>: cannot be written: <reason>"; on failure the
// temporary file is removed and `path` is left as it was.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void writeFileAtomically(const std::filesystem::path& path, std::string_view text);

// Removes the temporary files of unfinished writes when the process is ended by
// SIGINT, SIGTERM, SIGHUP or SIGPIPE, then ends it by the same signal as before.
// Signals the process ignores stay ignored. Call once, early in main, before any
// thread starts; a program that never calls it keeps the default handling (a
// temporary file may then survive a kill).
void removeTemporaryFilesOnSignals();

}  // namespace corvale

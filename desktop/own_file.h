// Files the program creates for itself beside files of others: the temporary file of an atomic
// write, the copy of a file of the same content. Whatever stands at the name goes first, and
// the new file is made without following a link there (O_CREAT | O_EXCL | O_NOFOLLOW): a link
// planted at the name by anyone cannot carry the write elsewhere.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <system_error>

#include "release/file_guards.h"

// Removes whatever stands at path (a file, a link; not a folder) and creates a new file there
// for writing, with mode less the umask. False with ec when it cannot be made at that very name.
[[nodiscard]] bool createOwnFile(const std::filesystem::path& path, mode_t mode, FileDescriptor& file,
                                 std::error_code& ec);

// Copies the regular file from to a new file at to, made by createOwnFile with mode. A copy that
// fails part-way is removed.
[[nodiscard]] bool copyToOwnFile(const std::filesystem::path& from, const std::filesystem::path& to, mode_t mode,
                                 std::error_code& ec);

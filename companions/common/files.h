#pragma once

#include <cstddef>
#include <string>

namespace rw {

// The folder part of `path` ("." when it has none) and its last component.
std::string folderOf(const std::string &path);
std::string fileNameOf(const std::string &path);

// Writes `size` bytes to `path` (created or truncated). On failure returns
// false with a reason in `error`; a partly written file is removed.
bool writeWholeFile(const std::string &path, const void *data, std::size_t size,
                    std::string &error);

// Writes `content` to a fresh temporary file beside `path` and renames it
// over `path`, so that readers see either no file, the old one or the
// complete new one.
bool replaceFileAtomically(const std::string &path, const std::string &content,
                           std::string &error);

// Renames, with the reason in `error` when it fails.
bool renameFile(const std::string &from, const std::string &to, std::string &error);

} // namespace rw

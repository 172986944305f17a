// SPDX-License-Identifier: MIT
// The few filesystem reads that discovery needs, each one tolerant: a path
// that is missing or cannot be read yields an empty result, never an error.
#pragma once

#include <string>
#include <vector>

namespace Tivaxlib {
namespace Usb {

// First line of a regular file without its line feed; empty when the file
// is missing, unreadable or not a regular file. sysfs attributes never
// exceed one page, so at most that much is read.
std::string readFirstLine(const std::string& path);

// Whether stat() succeeds on the path.
bool pathExists(const std::string& path);

// realpath() of the path, or empty when it cannot be resolved.
std::string canonicalPath(const std::string& path);

// The text before the last "/", "/" when that is the first character, or
// the text unchanged when it holds no "/".
std::string parentPath(const std::string& path);

// The text after the last "/", or the whole text when it holds no "/".
std::string baseName(const std::string& path);

// Backslash-escapes glob metacharacters so that a directory name is matched
// literally when it prefixes a pattern.
std::string escapeForGlob(const std::string& literal);

// Expands the patterns with glob(), one after another, keeping each
// pattern's matches in glob's sorted order. Patterns that match nothing or
// fail contribute nothing.
std::vector<std::string> globAll(const std::vector<std::string>& patterns);

}  // namespace Usb
}  // namespace Tivaxlib

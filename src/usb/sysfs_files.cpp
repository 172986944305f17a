// SPDX-License-Identifier: MIT
#include "usb/sysfs_files.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace Tivaxlib {
namespace Usb {

namespace {

// One sysfs attribute holds at most a page of text.
constexpr std::size_t kMaxAttributeSize = 4096;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class GlobResult {
 public:
  GlobResult() : result_() {}
  ~GlobResult() { ::globfree(&result_); }
  GlobResult(const GlobResult&) = delete;
  GlobResult& operator=(const GlobResult&) = delete;
  glob_t* get() { return &result_; }

 private:
  glob_t result_;
};

}  // namespace

std::string readFirstLine(const std::string& path) {
  // Non-blocking so that a FIFO or similar in place of an attribute cannot
  // hang the search; only regular files are read.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return std::string();
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::string();

  std::string text;
  char chunk[512];
  while (text.size() < kMaxAttributeSize) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::string();
    }
    if (got == 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.find('\n') != std::string::npos) break;
  }
  const std::size_t end = text.find('\n');
  if (end != std::string::npos) text.erase(end);
  if (text.size() > kMaxAttributeSize) text.erase(kMaxAttributeSize);
  return text;
}

bool pathExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

std::string canonicalPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                      &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

std::string parentPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string escapeForGlob(const std::string& literal) {
  std::string escaped;
  escaped.reserve(literal.size());
  for (char c : literal) {
    if (c == '\\' || c == '*' || c == '?' || c == '[') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::vector<std::string> globAll(const std::vector<std::string>& patterns) {
  GlobResult result;
  int flags = 0;
  for (const std::string& pattern : patterns) {
    // A pattern without matches leaves earlier matches in place.
    ::glob(pattern.c_str(), flags, nullptr, result.get());
    flags = GLOB_APPEND;
  }
  std::vector<std::string> paths;
  const glob_t* g = result.get();
  if (g->gl_pathv == nullptr) return paths;
  paths.reserve(g->gl_pathc);
  for (std::size_t i = 0; i < g->gl_pathc; ++i) {
    if (g->gl_pathv[i] != nullptr) paths.emplace_back(g->gl_pathv[i]);
  }
  return paths;
}

}  // namespace Usb
}  // namespace Tivaxlib

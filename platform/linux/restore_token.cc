#include "platform/linux/restore_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr char kFile[] = "restore-token";
// Portals' tokens are UUIDs; a longer file is not one.
constexpr size_t kLongestToken = 512;

// The folder the token lives in; "" without HOME. A relative
// XDG_STATE_HOME is ignored: freedesktop.org's base directories are
// absolute paths, and a relative one would move with the working folder.
std::string folder_path() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/input-agent";
  const char* home = getenv("HOME");
  if (!home || home[0] != '/') return "";
  return std::string(home) + "/.local/state/input-agent";
}

// Makes `path` and its missing parents, each mode 0700.
void make_folders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
  mkdir(path.c_str(), 0700);
}

// The folder, opened, when it is this user's alone; else -1, with the
// reason on standard error where there is a folder to give one for.
int open_folder(bool make) {
  std::string path = folder_path();
  if (path.empty()) return -1;
  if (make) make_folders(path);
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      fprintf(stderr, "input-agent: keeping no restore token: %s is not a folder to use\n",
              path.c_str());
    }
    return -1;
  }
  struct stat folder;
  if (fstat(fd, &folder) != 0 || folder.st_uid != geteuid() || (folder.st_mode & 022) != 0) {
    fprintf(stderr,
            "input-agent: keeping no restore token: %s is another user's or writable by others "
            "(chmod 700 it)\n",
            path.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// A name no other agent writes at the same time.
std::string temporary_name() {
  auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::string(kFile) + "." + std::to_string(getpid()) + "." + std::to_string(now);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(written);
  }
  return true;
}

}  // namespace

std::string read_restore_token() {
  int folder = open_folder(false);
  if (folder < 0) return "";
  // Not blocking, should a FIFO stand in the file's place.
  int fd = openat(folder, kFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(folder);
  if (fd < 0) return "";
  struct stat file;
  std::string token;
  if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && file.st_uid == geteuid() &&
      file.st_size > 0 && static_cast<size_t>(file.st_size) <= kLongestToken) {
    char text[kLongestToken];
    ssize_t count = read(fd, text, sizeof text);
    if (count == file.st_size) token.assign(text, count);
  }
  close(fd);
  return token;
}

void keep_restore_token(const std::string& token) {
  int folder = open_folder(true);
  if (folder < 0) return;
  if (token.empty()) {
    unlinkat(folder, kFile, 0);
    close(folder);
    return;
  }
  std::string written = temporary_name();
  int fd =
      openat(folder, written.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    bool whole = write_all(fd, token);
    close(fd);
    if (!whole || renameat(folder, written.c_str(), folder, kFile) != 0) {
      unlinkat(folder, written.c_str(), 0);
    }
  }
  close(folder);
}

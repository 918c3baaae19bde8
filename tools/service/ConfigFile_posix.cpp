#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "ConfigFile.h"

namespace rd::service {
namespace {

// Closes the descriptor it holds.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Directory(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool SaveConfigValue(const std::string& given, const std::string& key,
                     const nlohmann::ordered_json& value, std::string& error) {
  const std::string prefix = "not saved to " + given + ": ";
  // A link keeps pointing at the file: the file it names is replaced.
  char* real = realpath(given.c_str(), nullptr);
  if (real == nullptr) {
    error = prefix + Reason("cannot find the file");
    return false;
  }
  const std::string path(real);
  std::free(real);
  struct stat old {};
  if (stat(path.c_str(), &old) != 0) {
    error = prefix + Reason("cannot find the file");
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  auto doc = nlohmann::ordered_json::parse(text.str(), nullptr, false);
  if (!in || doc.is_discarded() || !doc.is_object()) {
    error = prefix + "the file is no longer a JSON object";
    return false;
  }
  doc[key] = value;
  const std::string next = doc.dump(2) + "\n";

  const std::string temporary = path + ".new";
  Fd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  auto fail = [&](const std::string& what) {
    error = prefix + Reason(what);
    if (fd.get() >= 0) unlink(temporary.c_str());
    return false;
  };
  if (fd.get() < 0) return fail("cannot create " + temporary);
  if (fchmod(fd.get(), old.st_mode & 07777) != 0) return fail("cannot keep the file's mode");
  if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
      fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
    return fail("cannot keep the file's owner");
  }
  if (!WriteAll(fd.get(), next)) return fail("cannot write " + temporary);
  if (fsync(fd.get()) != 0) return fail("cannot flush " + temporary);
  if (!fd.Close()) {
    error = prefix + Reason("cannot close " + temporary);
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    error = prefix + Reason("cannot replace the file");
    unlink(temporary.c_str());
    return false;
  }
  // The rename itself reaches the disk with the directory.
  Fd dir(open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  return true;
}

}  // namespace rd::service

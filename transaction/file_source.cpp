#include "transaction/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "transaction/file_ops.h"

FileSource::~FileSource() { close(); }

bool FileSource::open(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  const int error = ::fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
  if (error != 0) {
    ::close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  owned_ = true;
  mode_ = info.st_mode & 0777;
  setg(buffer_, buffer_ + 1, buffer_ + 1);
  return true;
}

void FileSource::borrow(int fd) {
  close();
  fd_ = fd;
  owned_ = false;
  mode_ = 0;
}

void FileSource::close() {
  if (fd_ >= 0 && owned_) ::close(fd_);
  fd_ = -1;
  setg(buffer_, buffer_ + 1, buffer_ + 1);
}

FileSource::int_type FileSource::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (fd_ < 0) return traits_type::eof();
  if (egptr() > eback() + 1) buffer_[0] = egptr()[-1];
  const ssize_t got = read_retrying(fd_, buffer_ + 1, BUFFER_SIZE);
  if (got <= 0) return traits_type::eof();  // a read error ends the file early
  setg(buffer_, buffer_ + 1, buffer_ + 1 + got);
  return traits_type::to_int_type(*gptr());
}

FileSource::pos_type FileSource::seekoff(off_type offset, std::ios_base::seekdir direction,
                                         std::ios_base::openmode which) {
  const pos_type failed(off_type(-1));
  if (fd_ < 0 || !(which & std::ios_base::in)) return failed;
  off_t target;
  if (direction == std::ios_base::cur) {
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return failed;
    target = at - (egptr() - gptr()) + offset;
  } else if (direction == std::ios_base::beg) {
    target = offset;
  } else {
    return failed;
  }
  if (target < 0 || ::lseek(fd_, target, SEEK_SET) < 0) return failed;
  setg(buffer_, buffer_ + 1, buffer_ + 1);
  return pos_type(target);
}

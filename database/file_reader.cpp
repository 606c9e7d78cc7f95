#include "database/file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "transaction/file_ops.h"

FileReader::~FileReader() { close(); }

bool FileReader::open(const std::string& path) {
  close();
  // A pipe put where a file belongs must not hold the run up: opened without waiting for a
  // writer, it then reads as empty, as it has none.
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  return true;
}

void FileReader::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ended_ = false;
  buffer_offset_ = 0;
  setg(buffer_, buffer_, buffer_);
}

FileReader::int_type FileReader::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (fd_ < 0 || ended_) return traits_type::eof();
  buffer_offset_ += egptr() - eback();
  const ssize_t got = read_retrying(fd_, buffer_, sizeof buffer_);
  if (got < 0) {
    close();
    if (stream_ != nullptr) stream_->setstate(std::ios_base::badbit);
    return traits_type::eof();
  }
  if (got == 0) {
    ended_ = true;
    setg(buffer_, buffer_, buffer_);
    return traits_type::eof();
  }
  setg(buffer_, buffer_, buffer_ + got);
  return traits_type::to_int_type(*gptr());
}

FileReader::pos_type FileReader::seekoff(off_type offset, std::ios_base::seekdir direction,
                                         std::ios_base::openmode which) {
  const pos_type failed(off_type(-1));
  if (fd_ < 0 || !(which & std::ios_base::in)) return failed;
  const off_t here = buffer_offset_ + (gptr() - eback());
  off_t target;
  if (direction == std::ios_base::end) {
    target = ::lseek(fd_, offset, SEEK_END);
    if (target < 0) return failed;
  } else {
    target = offset;
    if (direction == std::ios_base::cur && __builtin_add_overflow(here, offset, &target)) {
      return failed;
    }
    if (target < 0) return failed;
    // Within what is buffered (a part skipped in a small image) no system call is needed.
    if (target >= buffer_offset_ && target <= buffer_offset_ + (egptr() - eback())) {
      setg(eback(), eback() + (target - buffer_offset_), egptr());
      return pos_type(target);
    }
    if (::lseek(fd_, target, SEEK_SET) < 0) return failed;
  }
  buffer_offset_ = target;
  ended_ = false;
  setg(buffer_, buffer_, buffer_);
  return pos_type(target);
}

FileReader::pos_type FileReader::seekpos(pos_type position, std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

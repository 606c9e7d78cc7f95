#include "transaction/read_buffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transaction/file_ops.h"

ReadBuffer::ReadBuffer(size_t block_size)
    : block_size_(block_size), storage_(new char[block_size + 1]) {
  empty_at(0);
}

ReadBuffer::~ReadBuffer() { close(); }

bool ReadBuffer::open(const std::string& path, OpenAs how) {
  close();
  // Without O_NONBLOCK a pipe put where a file belongs would hold the run up until a
  // writer came.
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  if (how == OpenAs::untouched) flags |= O_NOFOLLOW;
  int fd = ::open(path.c_str(), how == OpenAs::untouched ? flags | O_NOATIME : flags);
  if (fd < 0 && how == OpenAs::untouched && errno == EPERM) fd = ::open(path.c_str(), flags);
  if (fd < 0) return false;
  struct stat status;
  int error = ::fstat(fd, &status) != 0 ? errno : 0;
  if (error == 0 && how == OpenAs::regular_file && !S_ISREG(status.st_mode)) error = EINVAL;
  if (error != 0) {
    ::close(fd);
    errno = error;
    return false;
  }
  // Reads of a pipe opened without a writer then end at once, where they would fail.
  const int now = ::fcntl(fd, F_GETFL);
  if (now >= 0) (void)::fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
  fd_ = fd;
  owned_ = true;
  seekable_ = true;
  status_ = status;
  return true;
}

void ReadBuffer::borrow(int fd) {
  close();
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  fd_ = fd;
  seekable_ = at >= 0;
  empty_at(seekable_ ? at : 0);
}

void ReadBuffer::close() {
  if (fd_ >= 0 && owned_) ::close(fd_);
  fd_ = -1;
  owned_ = false;
  seekable_ = false;
  ended_ = false;
  failed_ = false;
  status_ = {};
  empty_at(0);
}

void ReadBuffer::empty_at(off_t offset) {
  offset_ = offset;
  setg(data(), data(), data());
}

void ReadBuffer::fail() {
  if (owned_) ::close(fd_);
  fd_ = -1;
  failed_ = true;
  setg(data(), data(), data());
  if (stream_ != nullptr) stream_->setstate(std::ios_base::badbit);
}

ReadBuffer::int_type ReadBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (fd_ < 0 || ended_) return traits_type::eof();
  const off_t used = egptr() - data();
  if (used > 0) *(data() - 1) = egptr()[-1];
  const ssize_t got = read_retrying(fd_, data(), block_size_);
  if (got < 0) {
    fail();
    return traits_type::eof();
  }
  offset_ += used;
  char* const kept = used > 0 ? data() - 1 : data();
  setg(kept, data(), data() + got);
  if (got == 0) {
    ended_ = true;
    return traits_type::eof();
  }
  return traits_type::to_int_type(*gptr());
}

size_t ReadBuffer::read_all(char* out, size_t count) {
  const size_t buffered = std::min<size_t>(count, size_t(egptr() - gptr()));
  std::memcpy(out, gptr(), buffered);
  gbump(int(buffered));
  if (buffered == count) return count;
  // The rest goes straight to `out`: the block is no use to a read longer than it.
  off_t at = offset_ + (egptr() - data());
  size_t done = buffered;
  while (done < count && fd_ >= 0 && !ended_) {
    const ssize_t got = read_retrying(fd_, out + done, count - done);
    if (got < 0) {
      fail();
      return done;
    }
    ended_ = got == 0;
    done += size_t(got);
    at += got;
  }
  empty_at(at);
  return done;
}

ReadBuffer::pos_type ReadBuffer::seekoff(off_type offset, std::ios_base::seekdir direction,
                                         std::ios_base::openmode which) {
  const pos_type failed(off_type(-1));
  if (fd_ < 0 || !seekable_ || !(which & std::ios_base::in)) return failed;
  const off_t here = offset_ + (gptr() - data());
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
    // Within what is buffered (a part skipped in a small file) no system call is needed.
    if (target >= offset_ && target <= offset_ + (egptr() - data())) {
      setg(eback(), data() + (target - offset_), egptr());
      return pos_type(target);
    }
    if (::lseek(fd_, target, SEEK_SET) < 0) return failed;
  }
  ended_ = false;
  empty_at(target);
  return pos_type(target);
}

ReadBuffer::pos_type ReadBuffer::seekpos(pos_type position, std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

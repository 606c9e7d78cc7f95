#include "transaction/file_sink.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transaction/background_flush.h"
#include "transaction/file_ops.h"

FileSink::~FileSink() { (void)close(); }

bool FileSink::open(const std::string& path) {
  // Whatever stands there goes first, so that a link (symbolic or hard) or a pipe is never
  // written through; the file made then is new and ours.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  fd_ =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  adopt(fd_);
  return true;
}

void FileSink::adopt(int fd, bool early_writeback) {
  fd_ = fd;
  error_ = 0;
  early_writeback_ = early_writeback;
  written_ = written_back_ = 0;
  setp(buffer_, buffer_ + BUFFER_SIZE);
}

void FileSink::discard() {
  (void)close();
  adopt(-1);
  discarding_ = true;
}

std::string FileSink::open_unique(const std::string& dir, mode_t mode) {
  std::string name = dir + "/tmpXXXXXX";
  const int fd = ::mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) return {};
  if (::fchmod(fd, mode) != 0) {
    const int cause = errno;
    ::close(fd);
    ::unlink(name.c_str());
    errno = cause;
    return {};
  }
  fd_ = fd;
  // A kept copy is bound for the flash, as a staged file is.
  adopt(fd_, true);
  return name;
}

bool FileSink::write_out(const char* data, size_t size) {
  if (discarding_) {
    written_ += size;
    return true;
  }
  if (!write_all(fd_, data, size)) {
    error_ = errno ? errno : EIO;
    return false;
  }
  written_ += size;
  if (!early_writeback_) return true;
  BackgroundFlush::note_written(fd_, size);
  if (written_ - written_back_ >= WRITEBACK_STEP) start_writeback();
  return true;
}

void FileSink::start_writeback() {
  if (!early_writeback_) return;
  // Only a start: the commit's flush still waits for every byte.
  (void)::sync_file_range(fd_, off64_t(written_back_), off64_t(written_ - written_back_),
                          SYNC_FILE_RANGE_WRITE);
  written_back_ = written_;
}

bool FileSink::flush_buffer() {
  const size_t count = size_t(pptr() - pbase());
  setp(buffer_, buffer_ + BUFFER_SIZE);
  if (count == 0 || error_ != 0) return error_ == 0;
  return write_out(buffer_, count);
}

FileSink::int_type FileSink::overflow(int_type c) {
  if (!is_open() || !flush_buffer()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

std::streamsize FileSink::xsputn(const char* data, std::streamsize count) {
  if (!is_open()) return 0;
  if (pptr() == pbase() && count >= std::streamsize(BUFFER_SIZE)) {
    // A whole buffer's worth goes out as it is, without a copy.
    if (error_ != 0) return 0;
    return write_out(data, size_t(count)) ? count : 0;
  }
  std::streamsize done = 0;
  while (done < count) {
    const std::streamsize room = epptr() - pptr();
    if (room == 0 && !flush_buffer()) return done;
    const std::streamsize step = std::min(count - done, epptr() - pptr());
    std::memcpy(pptr(), data + done, size_t(step));
    pbump(int(step));
    done += step;
  }
  return done;
}

int FileSink::sync() { return is_open() && flush_buffer() ? 0 : -1; }

bool FileSink::close() {
  if (discarding_) {
    (void)flush_buffer();
    discarding_ = false;
    setp(nullptr, nullptr);
    return true;
  }
  if (fd_ < 0) return error_ == 0;
  // A small file's few blocks are better left to the flush, which writes them together.
  if (flush_buffer() && written_ - written_back_ >= WRITEBACK_TAIL) start_writeback();
  // Data the disk failed to take, of this file or an earlier one, fails the staging.
  if (early_writeback_ && error_ == 0) error_ = BackgroundFlush::error();
  if (::close(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  setp(nullptr, nullptr);
  return error_ == 0;
}

FileStream::FileStream(int fd) : std::ostream(nullptr) {
  if (fd >= 0) sink_.adopt(fd, true);
  rdbuf(&sink_);
}

FileStream::FileStream(Discarding) : std::ostream(nullptr) {
  sink_.discard();
  rdbuf(&sink_);
}

void FileStream::close() {
  if (!sink_.is_open()) {
    setstate(std::ios_base::failbit);
    return;
  }
  if (!sink_.close()) {
    errno = sink_.error();
    setstate(std::ios_base::failbit);
  }
}

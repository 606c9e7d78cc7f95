// Small file-system helpers of the file transaction: directory names, making directories,
// copying a file across file systems with a progress spinner, and the tick clock.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <iosfwd>
#include <string>

// The directory holding `path`, after dropping trailing "/": "/a/b/" -> "/a", "/a" -> "/",
// "/" -> ".", a relative name -> ".".
std::string parent_dir(const std::string& path);

// `dir`, or its nearest ancestor that exists, with `info` filled from stat; false when not
// even "/" or "." can be found.
bool nearest_existing(std::string& dir, struct stat& info);

// Creates `path` and any missing ancestors with mode 0777. Reports nothing: the caller
// finds out by using the directory.
void make_dirs(const std::string& path);

// Copies the regular file `source` onto `target`, created or truncated with the source's
// permission bits, and flushes it to the disk. False when the source is not a regular file
// or a read, write, flush or open fails; a partly written target is left behind, the source
// is never touched. With
// `progress` the process-wide spinner on standard output advances after each chunk.
[[nodiscard]] bool copy_file(const std::string& source, const std::string& target, bool progress);

// Writes all `size` bytes, going on after short writes; false with errno set on an error.
[[nodiscard]] bool write_all(int fd, const char* data, size_t size);
// read(2), started again when a signal interrupts it.
[[nodiscard]] ssize_t read_retrying(int fd, char* buffer, size_t size);

// Hundredths of a second since boot from the times system call, plus 30000 to cancel the
// kernel's start offset. Only differences between two values mean anything.
uint32_t ticks();

// The turning "|/-\" character; one step per 20 ticks at most. A spinner starts idle
// and prints its first character without a backspace.
class Spinner {
 public:
  // Advances to tick `now`, writing to `out` (and flushing) when it turns.
  void advance(uint32_t now, std::ostream& out);

 private:
  uint32_t last_ = 0;
  unsigned index_ = 0;
};

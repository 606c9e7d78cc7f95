// The console: a status line kept at the bottom of the terminal and rewritten in place,
// messages printed above it, and the post log that keeps every printed message. It knows
// nothing of packages. The entry point owns one and hands it to everything that reports.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// How much the steps of a plan print: nothing; the enable and disable lines and the
// planning warnings; also the uninstall lines.
enum class ReportLevel { silent, changes, changes_and_uninstalls };

class Console {
 public:
  // A console printing to `out`, which must outlive it.
  explicit Console(std::ostream& out);
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  std::string status_line;  // the text now on screen, empty when none
  std::vector<std::string> messages;
  bool quiet = false;  // nothing is printed and nothing is kept
  // A dry run: the change lines tell what would change, and the post log is neither read
  // nor written.
  bool dry_run = false;

  // Replaces the status line in place; an empty text clears it.
  void show_status(const std::string& text);
  // Prints prefix (may be null) + the message, cut at 255 characters, above the status
  // line, and keeps it. Formats use only "%s" fields.
  void report(const char* prefix, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vreport(const char* prefix, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));
  // Clears the status line for good, then reports with "ERROR: ".
  void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Reports with "WARNING: " and puts the status line back below it.
  void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Clears the status line for good, then reports with no prefix.
  void info(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // What a run changed: "installed WHAT", "uninstalled WHAT", "enabled WHAT" or "disabled
  // WHAT" through info; in a dry run "would install WHAT" and so on.
  enum class Change { install, uninstall, enable, disable };
  void change(Change kind, const std::string& what);

  // Status line "label [####    ]" for `done` of `total` bytes; 77 characters for any
  // label shorter than 74.
  void show_progress(const std::string& label, uint64_t done, uint64_t total);

  // Moves the lines of the post log into `messages` and leaves 4096 zero bytes in the
  // file, so that a run that dies before write_post_log leaves no stale lines.
  void read_post_log();
  // Writes `messages` to the post log: rewriting it after read_post_log, else appending.
  void write_post_log();

 private:
  std::ostream& console_;
  bool post_log_reset_ = false;
};

// The bar text of show_progress; the bar is empty when `total` is 0 and full when
// `done` reaches or passes `total`.
std::string progress_line(const std::string& label, uint64_t done, uint64_t total);

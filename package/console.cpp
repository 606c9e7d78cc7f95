#include "package/console.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <ostream>

#include "package/system_paths.h"

namespace {

constexpr const char* HIDE_CURSOR = "\x1b[?25l";
constexpr const char* SHOW_CURSOR = "\x1b[?25h";
constexpr size_t MESSAGE_BUFFER = 256;
constexpr size_t POST_LOG_RESET_BYTES = 4096;
constexpr size_t PROGRESS_WIDTH = 76;

}  // namespace

Console::Console(std::ostream& out) : console_(out) {}

void Console::show_status(const std::string& text) {
  if (quiet || text == status_line) return;
  console_ << HIDE_CURSOR << '\r' << text;
  if (text.size() < status_line.size()) {
    console_ << std::string(status_line.size() - text.size(), ' ');
  }
  console_ << '\r' << SHOW_CURSOR << std::flush;
  status_line = text;
}

void Console::vreport(const char* prefix, const char* format, va_list args) {
  char text[MESSAGE_BUFFER];
  std::vsnprintf(text, sizeof text, format, args);
  if (quiet) return;
  std::string message = prefix ? prefix : "";
  message += text;
  if (!status_line.empty()) {
    console_ << '\r' << std::string(79, ' ') << '\r' << std::flush;
  }
  console_ << message << std::endl;
  if (!status_line.empty()) console_ << status_line << std::flush;
  messages.push_back(std::move(message));
}

void Console::report(const char* prefix, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreport(prefix, format, args);
  va_end(args);
}

void Console::error(const char* format, ...) {
  show_status("");
  va_list args;
  va_start(args, format);
  vreport("ERROR: ", format, args);
  va_end(args);
}

void Console::warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreport("WARNING: ", format, args);
  va_end(args);
}

void Console::info(const char* format, ...) {
  show_status("");
  va_list args;
  va_start(args, format);
  vreport(nullptr, format, args);
  va_end(args);
}

void Console::change(Change kind, const std::string& what) {
  static const char* const verbs[] = {"install", "uninstall", "enable", "disable"};
  const char* verb = verbs[static_cast<int>(kind)];
  if (dry_run) {
    info("would %s %s", verb, what.c_str());
  } else {
    info("%s%s %s", verb, kind == Change::install || kind == Change::uninstall ? "ed" : "d",
         what.c_str());
  }
}

std::string progress_line(const std::string& label, uint64_t done, uint64_t total) {
  std::string line = label + " [";
  const uint64_t width = line.size() < PROGRESS_WIDTH ? PROGRESS_WIDTH - line.size() : 0;
  uint64_t filled = 0;
  if (total != 0) filled = done >= total ? width : done * width / total;
  line.append(filled, '#');
  line.append(width - filled, ' ');
  line += ']';
  return line;
}

void Console::show_progress(const std::string& label, uint64_t done, uint64_t total) {
  show_status(progress_line(label, done, total));
}

void Console::read_post_log() {
  if (dry_run) return;
  std::ifstream in(POST_LOG_PATH, std::ios::binary);
  if (in) {
    std::string line;
    while (std::getline(in, line) && !in.eof()) messages.push_back(line);
  }
  in.close();
  std::ofstream out(POST_LOG_PATH, std::ios::binary | std::ios::trunc);
  const std::string zeros(POST_LOG_RESET_BYTES, '\0');
  out.write(zeros.data(), zeros.size());
  out.close();
  post_log_reset_ = true;
}

void Console::write_post_log() {
  if (dry_run || (!post_log_reset_ && messages.empty())) return;
  std::ofstream out(POST_LOG_PATH,
                    std::ios::binary | (post_log_reset_ ? std::ios::trunc : std::ios::app));
  ::sync();
  for (const std::string& message : messages) out << message << '\n';
}

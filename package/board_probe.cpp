#include "package/board_probe.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr uint32_t LARGE_ERASE_BLOCK = 0x40000;
constexpr uint16_t MIN_VERSION_CLASS = 4;
constexpr uint16_t MIN_VERSION_NUMBER = 37;
constexpr long FEATURE_BIT16 = 16;

// Closes the device on every way out.
class Device {
 public:
  Device(const char* path, int mode) : fd_(::open(path, mode)) {}
  ~Device() {
    if (fd_ >= 0) ::close(fd_);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  int fd_;
};

const BoardDevices& machine_devices() {
  static const BoardDevices devices;
  return devices;
}

const BoardDevices* installed = nullptr;

}  // namespace

bool BoardDevices::mtd_erase_size(uint32_t& size) const {
  Device mtd("/dev/mtd0", O_RDONLY);
  mtd_info_user info{};
  if (!mtd.is_open() || ::ioctl(mtd.fd(), MEMGETINFO, &info) != 0) return false;
  size = info.erasesize;
  return true;
}

bool BoardDevices::query_board_value(BoardValueRecord& record) const {
  Device flash("/dev/flash", O_RDWR);
  if (!flash.is_open()) return false;
  (void)::ioctl(flash.fd(), BOARD_VALUE_REQUEST, &record);
  return true;
}

bool BoardDevices::flash_feature_word(long& word) const {
  Device flash("/dev/flash", O_RDONLY);
  if (!flash.is_open()) return false;
  const int result = ::ioctl(flash.fd(), FLASH_FEATURE_REQUEST, 0);
  // A failed request answers -1, which is no word at all, not one with every bit set.
  if (result == -1) return false;
  word = result;
  return true;
}

uint32_t BoardDevices::processor_version() const { return read_processor_version(); }

const BoardDevices& board_devices() { return installed ? *installed : machine_devices(); }

void set_board_devices(const BoardDevices* devices) { installed = devices; }

bool flash_has_large_erase_blocks() {
  uint32_t size = 0;
  return board_devices().mtd_erase_size(size) && size == LARGE_ERASE_BLOCK;
}

Version query_min_version() {
  BoardValueRecord record;
  record.value_class = MIN_VERSION_CLASS;
  record.number = MIN_VERSION_NUMBER;
  if (!board_devices().query_board_value(record)) return 0;
  return record.value;
}

bool flash_feature_word_bit16() {
  long word = 0;
  return board_devices().flash_feature_word(word) && (word & FEATURE_BIT16) != 0;
}

int processor_family() {
  const uint32_t pvr = board_devices().processor_version();
  const uint32_t model = pvr & ~uint32_t(0xFF);
  if (model == 0x80211000 || model == 0x80212100) return flash_feature_word_bit16() ? 2 : 4;
  const uint32_t k = (pvr >> 16) & 0xFF;
  if (k >= 0x20 && k <= 0x21) return 2;
  if (k >= 0x83 && k <= 0x85) return 1;
  if ((pvr >> 16) == 0x1302) return 3;
  return 0;
}

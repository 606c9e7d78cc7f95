// Board answers chosen by a test, installed for its lifetime in place of the machine's.
#pragma once

#include "package/board_probe.h"

struct FakeBoard : BoardDevices {
  FakeBoard() { set_board_devices(this); }
  ~FakeBoard() override { set_board_devices(nullptr); }
  FakeBoard(const FakeBoard&) = delete;
  FakeBoard& operator=(const FakeBoard&) = delete;

  bool has_mtd = false, has_flash = false;  // an absent device cannot be opened
  uint32_t erase_size = 0, min_version = 0, pvr = 0;
  long feature_word = 0;

  bool mtd_erase_size(uint32_t& size) const override {
    size = erase_size;
    return has_mtd;
  }
  bool query_board_value(BoardValueRecord& record) const override {
    if (!has_flash) return false;
    if (record.value_class == 4 && record.number == 37) record.value = min_version;
    return true;
  }
  bool flash_feature_word(long& word) const override {
    word = feature_word;
    return has_flash;
  }
  uint32_t processor_version() const override { return pvr; }
};

#include "transaction/path_kinds.h"

#include <cstring>

#include "transaction/file_ops.h"

bool is_download(const std::string& path) {
  const std::string folder = parent_dir(path) + "/";
  return folder == DOWNLOAD_FOLDER || folder == FLASH_FOLDER || folder == SYSTEM_FOLDER;
}

bool is_record(const std::string& path) {
  return path.compare(0, std::strlen(DATABASE_ROOT), DATABASE_ROOT) == 0 || path == BOOT_IMAGE;
}

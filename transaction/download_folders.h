// The folders that package files are downloaded into. A file lying directly in one of them
// is a download: the transaction that consumes it deletes it last.
#pragma once

constexpr const char* DOWNLOAD_FOLDER = "/rw/pckg/.download/";
constexpr const char* FLASH_FOLDER = "/flash/rw/pckg/";
constexpr const char* SYSTEM_FOLDER = "/flash/var/pckg/";

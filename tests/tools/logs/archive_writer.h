// Compressed logs and archives written with libarchive, for the tests that
// read them back.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pelk_tool {

using Entries = std::vector<std::pair<std::string, std::string>>;  // name, content

// Writes entries with a libarchive format ("zip", "pax", "raw") and filter.
inline void write_archive(const std::filesystem::path &path, const char *format, int filter, const Entries &entries) {
  struct archive *a = archive_write_new();
  ASSERT_EQ(archive_write_set_format_by_name(a, format), ARCHIVE_OK);
  ASSERT_EQ(archive_write_add_filter(a, filter), ARCHIVE_OK) << archive_error_string(a);
  ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
  for (const auto &[name, content] : entries) {
    struct archive_entry *e = archive_entry_new();
    archive_entry_set_pathname(e, name.c_str());
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, (la_int64_t)content.size());
    EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << archive_error_string(a);
    EXPECT_EQ(archive_write_data(a, content.data(), content.size()), (la_ssize_t)content.size());
    archive_entry_free(e);
  }
  EXPECT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
}

}  // namespace pelk_tool

// procfs entries and reads through proc_ops.
#include "sim_test_util.h"

namespace {
using namespace simtest;

int show_text(k::seq_file *m, void *) {
  k::seq_puts(m, (const char *)k::seq_file_private(m));
  return 0;
}
int open_text(k::inode *inode, k::file *file) { return k::single_open(file, show_text, k::PDE_DATA(inode)); }
const k::proc_ops text_ops = {0, open_text, k::seq_read, nullptr, nullptr, k::seq_lseek, k::single_release};
int open_fails(k::inode *, k::file *) { return -EACCES; }
const k::proc_ops failing_ops = {0, open_fails, k::seq_read, nullptr, nullptr, nullptr, nullptr};

TEST(Procfs, ReadsInChunksOfAnySize) {
  sim::Kernel kern;
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyz\nsecond line\n";
  k::proc_dir_entry *d = k::proc_mkdir("dir", nullptr);
  ASSERT_NE(nullptr, k::proc_create_data("file", 0440, d, &text_ops, (void *)text.c_str()));
  EXPECT_EQ(0440u, kern.proc_mode("/proc/dir/file"));
  for (size_t chunk : {1, 2, 7, 48, 49, 4096}) {
    SCOPED_TRACE(chunk);
    std::string got;
    EXPECT_EQ(0, kern.proc_read("/proc/dir/file", &got, chunk));
    EXPECT_EQ(text, got);
  }
  EXPECT_EQ(0u, kern.alloc_stats("kmalloc").live_count);  // release freed the seq_file
  EXPECT_EQ(-EIO, kern.proc_write("/proc/dir/file", "x"));
  EXPECT_EQ(-ENOENT, kern.proc_read("/proc/dir/none", nullptr));
  EXPECT_EQ(-21, kern.proc_read("/proc/dir", nullptr));
  k::proc_create("bad", 0444, d, &failing_ops);
  EXPECT_EQ(-EACCES, kern.proc_read("/proc/dir/bad", nullptr));
  EXPECT_EQ((std::vector<std::string>{"/proc/dir", "/proc/dir/bad", "/proc/dir/file"}), kern.proc_list());
  EXPECT_TRUE(kern.violations().empty());
}

TEST(Procfs, DuplicatesAndRemoval) {
  sim::Kernel kern;
  k::proc_dir_entry *d = k::proc_mkdir("dir", nullptr);
  EXPECT_EQ(nullptr, k::proc_mkdir("dir", nullptr));
  k::proc_create("f", 0444, d, &text_ops);
  EXPECT_EQ(nullptr, k::proc_create("f", 0444, d, &text_ops));
  ASSERT_NE(nullptr, k::proc_create("dir/g", 0444, nullptr, &text_ops));
  EXPECT_TRUE(kern.proc_exists("/proc/dir/g"));
  k::remove_proc_entry("g", d);
  EXPECT_FALSE(kern.proc_exists("/proc/dir/g"));
  k::remove_proc_entry("g", d);
  k::remove_proc_entry("dir", nullptr);  // not empty: the kernel leaks f
  EXPECT_FALSE(kern.proc_exists("/proc/dir"));
  EXPECT_FALSE(kern.proc_exists("/proc/dir/f"));
  EXPECT_EQ((std::vector<std::string>{"proc_dir_entry '/proc/dir' already registered",
                                      "proc_dir_entry 'dir/f' already registered", "name 'g'",
                                      "remove_proc_entry: removing non-empty directory '/proc/dir', leaking at least 'f'"}),
            texts(kern));
  k::proc_dir_entry *e = k::proc_mkdir("e", nullptr);
  k::proc_create("x", 0444, k::proc_mkdir("sub", e), &text_ops);
  k::proc_remove(e);
  k::proc_remove(nullptr);
  EXPECT_TRUE(kern.proc_list().empty());
}

}  // namespace

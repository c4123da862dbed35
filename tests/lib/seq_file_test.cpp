// Sequence files read through a proc file of the simulated kernel: chunked
// reads, buffer growth, seeking and allocation failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>

#include "sim/sim.h"

namespace {

std::string g_content;  // what the show routine prints
int g_show_result;
int g_shows;
int g_private;
void *g_seen_private;

int show(struct seq_file *m, void *)
{
	g_shows++;
	g_seen_private = seq_file_private(m);
	// Half through seq_printf, half through seq_puts, in pieces.
	for (size_t i = 0; i < g_content.size(); i += 50) {
		const std::string piece = g_content.substr(i, 50);
		if ((i / 50) % 2)
			seq_puts(m, piece.c_str());
		else
			seq_printf(m, "%s", piece.c_str());
	}
	return g_show_result;
}

int open_single(struct inode *, struct file *file)
{
	return single_open(file, show, &g_private);
}

const struct proc_ops kOps = {
	.proc_open = open_single,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = single_release,
};

std::string pattern(size_t n)
{
	std::string s;
	for (size_t i = 0; i < n; i++)
		s += (char)('0' + i % 10);
	return s;
}

class SeqFile : public ::testing::Test {
protected:
	void SetUp() override
	{
		g_show_result = 0;
		g_shows = 0;
		ASSERT_NE(proc_create("seqtest", 0444, nullptr, &kOps), nullptr);
		baseline_ = k_.alloc_stats("kmalloc").live_count;
	}
	void TearDown() override
	{
		remove_proc_entry("seqtest", nullptr);
		EXPECT_TRUE(k_.violations().empty()) << k_.violations()[0];
	}
	sim::u64 live_allocs() const { return k_.alloc_stats("kmalloc").live_count - baseline_; }

	sim::Kernel k_;
	sim::u64 baseline_ = 0;
};

TEST_F(SeqFile, ChunkedReadsGiveTheWholeContentAndTheBufferGrows)
{
	struct {
		size_t size;
		int shows;  // one per buffer size tried: 4 KiB, then doubled
	} rows[] = {{0, 1}, {1, 1}, {4095, 1}, {4096, 2}, {5000, 2}, {8192, 3}, {20000, 4}};
	const size_t chunks[] = {1, 7, 4096, 65536};

	for (const auto &r : rows) {
		for (size_t chunk : chunks) {
			g_content = pattern(r.size);
			g_shows = 0;
			std::string out;
			ASSERT_EQ(k_.proc_read("/proc/seqtest", &out, chunk), 0);
			EXPECT_EQ(out, g_content) << r.size << " in chunks of " << chunk;
			EXPECT_EQ(g_shows, r.shows) << r.size << " in chunks of " << chunk;
			EXPECT_EQ(g_seen_private, &g_private);
			EXPECT_EQ(live_allocs(), 0u) << "left allocated after release";
		}
	}
}

TEST_F(SeqFile, ShowResults)
{
	g_content = "abc";
	std::string out = "x";
	g_show_result = 1;  // skip the record
	EXPECT_EQ(k_.proc_read("/proc/seqtest", &out), 0);
	EXPECT_EQ(out, "");
	g_show_result = -EIO;
	EXPECT_EQ(k_.proc_read("/proc/seqtest", &out), -EIO);
	EXPECT_EQ(live_allocs(), 0u);
}

TEST_F(SeqFile, AllocationFailuresGiveEnomemAndLeakNothing)
{
	struct {
		const char *site;
		int nth;
		size_t size;
	} rows[] = {
		{"single_open", 1, 10},
		{"seq_open", 1, 10},
		{"seq_buf_alloc", 1, 10},  // the first page
		{"seq_buf_alloc", 2, 5000},  // growing to two pages
	};
	for (const auto &r : rows) {
		g_content = pattern(r.size);
		k_.add_fault({"kmalloc", r.site, r.nth, 1, 0});
		std::string out;
		EXPECT_EQ(k_.proc_read("/proc/seqtest", &out), -ENOMEM) << r.site << " " << r.nth;
		EXPECT_EQ(live_allocs(), 0u) << r.site << " " << r.nth;
		k_.clear_faults();
	}
}

// Seeks and reads at other offsets, made on the open file from inside the
// open routine; the reader then reads the file from the start as usual.
struct SeekStep {
	long long got, want;
	std::string text, want_text;
};
std::vector<SeekStep> g_steps;

int open_and_seek(struct inode *inode, struct file *file)
{
	const int err = open_single(inode, file);
	if (err)
		return err;
	char buf[32];
	auto read = [&](loff_t pos, size_t n) {
		const ssize_t got = seq_read(file, buf, n, &pos);
		// Not "<" + ...: g++ 12 at -O3 gives a false -Wrestrict for it.
		return got > 0 ? std::string(buf, (size_t)got) : std::string("<").append(std::to_string(got)).append(">");
	};
	g_steps = {
		{seq_lseek(file, 5, SEEK_SET), 5, read(5, 3), "567"},
		{seq_lseek(file, 2, SEEK_CUR), 10, read(10, 4), "0123"},
		{seq_lseek(file, -1, SEEK_SET), -EINVAL, "", ""},
		{seq_lseek(file, -100, SEEK_CUR), -EINVAL, "", ""},
		{seq_lseek(file, 0, SEEK_END), -EINVAL, "", ""},
		{seq_lseek(file, 9998, SEEK_SET), 9998, read(9998, 10) + read(10000, 10), "89<0>"},
		{seq_lseek(file, 20000, SEEK_SET), 20000, read(20000, 10), "<0>"},
		// A read at an offset the file is not at (as pread does).
		{0, 0, read(3, 2) + read(5, 2), "3456"},
		{seq_lseek(file, 0, SEEK_SET), 0, "", ""},
	};
	return 0;
}

TEST_F(SeqFile, Seek)
{
	static const struct proc_ops seek_ops = {
		.proc_open = open_and_seek,
		.proc_read = seq_read,
		.proc_lseek = seq_lseek,
		.proc_release = single_release,
	};
	ASSERT_NE(proc_create("seqseek", 0444, nullptr, &seek_ops), nullptr);
	g_content = pattern(10000);
	std::string out;
	ASSERT_EQ(k_.proc_read("/proc/seqseek", &out, 1000), 0);
	EXPECT_EQ(out, g_content);
	ASSERT_EQ(g_steps.size(), 9u);
	for (size_t i = 0; i < g_steps.size(); i++) {
		EXPECT_EQ(g_steps[i].got, g_steps[i].want) << "step " << i;
		EXPECT_EQ(g_steps[i].text, g_steps[i].want_text) << "step " << i;
	}
	remove_proc_entry("seqseek", nullptr);
	EXPECT_EQ(live_allocs(), 0u);
}

}  // namespace

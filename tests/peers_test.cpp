// What bench/peers makes of what it saw, on bytes and cycles made up: a
// fault here would put wrong figures in its table without a word.
#include <gtest/gtest.h>

#include <vector>

#include "../bench/peers.h"

namespace {

using Bytes = std::vector<unsigned char>;

// the notes in bytes, as channel * 100000 + number
std::vector<int>
notes_in(const Bytes &bytes)
{
	Notes notes;
	std::vector<int> out;
	int ch;
	for (unsigned char b : bytes)
		if (int k = notes.take(b, &ch); k >= 0)
			out.push_back(ch * 100000 + k);
	return out;
}

TEST(Peers, EveryNoteComesBackAsItsNumber)
{
	Bytes all;
	std::vector<int> want;
	for (int k = 0; k < 127 * 128; k++) {
		unsigned char m[3];
		note(m, k % 16, k);
		EXPECT_GT(m[2], 0) << k;
		all.insert(all.end(), m, m + 3);
		want.push_back(k % 16 * 100000 + k);
	}
	EXPECT_EQ(notes_in(all), want);
}

TEST(Peers, NotesWithRunningStatusAndRealTimeBytes)
{
	// running status across a clock; a SysEx ends it, a note of velocity
	// 0 is no note of ours
	EXPECT_EQ(notes_in({0x92, 5, 1, 0xf8, 6, 0xfe, 1, 0xf0, 7, 1, 0xf7, 8, 1, 0x93, 9, 0}),
	    (std::vector<int>{200005, 200006}));
}

TEST(Peers, OneMessageAnEvent)
{
	for (const Bytes &e : {Bytes{0x90, 60, 1}, Bytes{0xc0, 5}, Bytes{0xf8}, Bytes{0xf6},
	    Bytes{0xf2, 1, 2}, Bytes{0xf0, 0x7e, 0x7f, 0xf7}})
		EXPECT_TRUE(one_message(e.data(), e.size())) << int(e[0]);
	// two notes, running status alone, a note cut short, a SysEx unended
	for (const Bytes &e : {Bytes{0x90, 60, 1, 0x90, 61, 1}, Bytes{60, 1},
	    Bytes{0x90, 60}, Bytes{0xf0, 1, 2}, Bytes{0x90, 60, 1, 61, 1}, Bytes{}})
		EXPECT_FALSE(one_message(e.data(), e.size())) << e.size();
}

TEST(Peers, TimeToFrameBetweenTheCyclesSeen)
{
	// the second period twice as long as the first, then a cycle skipped
	const Cycle c[] = {{1000, 0}, {1256, 1000}, {1512, 3000}, {2024, 4000}};
	EXPECT_DOUBLE_EQ(frame_at(c, 4, 0), 1000);
	EXPECT_DOUBLE_EQ(frame_at(c, 4, 500), 1128);
	EXPECT_DOUBLE_EQ(frame_at(c, 4, 2000), 1384);
	EXPECT_DOUBLE_EQ(frame_at(c, 4, 3500), 1768);
	// before the first and after the last, as those went
	EXPECT_DOUBLE_EQ(frame_at(c, 4, -500), 872);
	EXPECT_DOUBLE_EQ(frame_at(c, 4, 5000), 2536);
}

} // namespace

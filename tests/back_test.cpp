// The way back of src/back.cpp, in-process: the events of a model midi_in
// port go through play_back into a scripted mio_write that takes so many
// bytes a cycle.  No server, no child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <poll.h>

#include <jack/midiport.h>

#include "quarvell.h"

using Bytes = std::vector<unsigned char>;

static unsigned char queue[BACK_BUF_SIZE];
unsigned char *back_buf = queue;
struct mio_hdl *midi_in = reinterpret_cast<struct mio_hdl *>(queue);
jack_port_t *in_port;

// this cycle's events on midi_in; what the port takes (a byte a call
// when it trickles), and has taken
static std::vector<Bytes> cycle;
static std::size_t takes;
static bool eof, trickle;
static Bytes written;

void *jack_port_get_buffer(jack_port_t *, jack_nframes_t) { return &cycle; }
uint32_t jack_midi_get_event_count(void *) { return static_cast<uint32_t>(cycle.size()); }

int
jack_midi_event_get(jack_midi_event_t *ev, void *, uint32_t i)
{
	*ev = {0, cycle[i].size(), cycle[i].data()};
	return 0;
}

size_t
mio_write(struct mio_hdl *, const void *buf, size_t n)
{
	n = eof ? 0 : std::min({n, takes, trickle ? 1 : n});
	takes -= n;
	auto *p = static_cast<const unsigned char *>(buf);
	written.insert(written.end(), p, p + n);
	return n;
}

int mio_eof(struct mio_hdl *) { return eof; }
int mio_nfds(struct mio_hdl *) { return 0; }
int mio_pollfd(struct mio_hdl *, struct pollfd *, int) { return 0; }
int mio_revents(struct mio_hdl *, struct pollfd *) { return POLLOUT; }
size_t mio_read(struct mio_hdl *, void *, size_t) { return 0; }

namespace {

// Runs a cycle with events, the port taking so many bytes.
void
run(const std::vector<Bytes> &events, std::size_t bytes)
{
	cycle = events;
	takes = bytes;
	play_back(64);
}

// Stops as quarvell does, the port taking so many bytes; the last line.
std::string
stop(std::size_t bytes)
{
	takes = bytes;
	testing::internal::CaptureStderr();
	finish_back(0.2);
	eof = trickle = false;
	return testing::internal::GetCapturedStderr();
}

Bytes
cat(const std::vector<Bytes> &events)
{
	Bytes b;
	for (auto &e : events)
		b.insert(b.end(), e.begin(), e.end());
	return b;
}

Bytes
sysex(std::size_t n, unsigned char fill)
{
	Bytes b(n, fill);
	b.front() = 0xf0;
	b.back() = 0xf7;
	return b;
}

class Back : public ::testing::Test {
    protected:
	void SetUp() override
	{
		stop(1 << 20);		// nothing of an earlier test waits, or sounds
		written.clear();
	}
};

// Random events, a SysEx in pieces now and then, over cycles in which the
// port takes random amounts, some none: all arrive, byte for byte.
TEST_F(Back, WhatThePortDoesNotTakeWaitsInOrder)
{
	std::mt19937 rng(5);
	std::vector<Bytes> all;
	for (int c = 0; c < 2000; c++) {
		std::vector<Bytes> events(rng() % 4);
		for (auto &e : events) {
			unsigned char id = static_cast<unsigned char>(all.size() % 128);
			if (rng() % 8 == 0)
				e = Bytes(1 + rng() % 300, id);	// a piece of a SysEx
			else
				e = {static_cast<unsigned char>(0xa0 | rng() % 16), id, 1};
			all.push_back(e);
		}
		run(events, rng() % 3 == 0 ? 0 : rng() % 200);
	}
	run({}, 1 << 20);
	EXPECT_EQ(written, cat(all));
	EXPECT_EQ(stop(0), "");
}

TEST_F(Back, FullQueueDropsWholeEventsAndEndsACutSysex)
{
	// The port takes nothing while 492 SysEx of 256 bytes (some 125 KB)
	// and a dump in pieces come; its third piece finds no room, and its
	// last would.  Then a clock and a note.
	std::vector<Bytes> fill(492, sysex(256, 0x11)), dump = {{0xf0, 1}, Bytes(2000, 2),
	    Bytes(2000, 3), {4, 0xf7}};
	run(fill, 0);
	run(dump, 0);
	run({{0xf8}, {0x90, 60, 0}}, 0);
	run({}, 1 << 20);
	Bytes want = cat(fill);
	for (auto &part : std::vector<Bytes>{dump[0], dump[1], {0xf7, 0xf8, 0x90, 60, 0}})
		want.insert(want.end(), part.begin(), part.end());
	EXPECT_EQ(written, want);
	EXPECT_EQ(stop(1 << 20), "dropped 2 events from midi_in: the sndio port is too slow\n");
}

TEST_F(Back, StopSilencesWhatSounds)
{
	// notes on three channels, running status, velocity 0, Note Off, All
	// Notes Off, pedals down and up
	run({{0x90, 60, 100, 62, 100, 67, 100}, {0x80, 60, 0, 67, 0}, {0x99, 36, 127},
	    {0x90, 71, 100, 71, 0}, {0x91, 1, 1}, {0xb1, 123, 0}, {0x92, 127, 1, 0xb2, 64, 127},
	    {0xb3, 64, 127, 64, 0}, {0xf0, 60, 0xf7}}, 1 << 20);
	written.clear();
	EXPECT_EQ(stop(1 << 20), "");
	EXPECT_EQ(written, (Bytes{0x80, 62, 0x40, 0x82, 127, 0x40, 0xb2, 64, 0, 0x89, 36, 0x40}));
}

TEST_F(Back, StopEndsTheMessageBeingWrittenThenDropsTheRest)
{
	// a SysEx the port has begun, then 100 notes; at the stop it takes a
	// byte a call, too slowly for them all
	std::vector<Bytes> notes;
	for (unsigned char k = 0; k < 100; k++)
		notes.push_back({0x90, k, 0});
	run({sysex(300, 6)}, 296);
	run(notes, 0);
	written.clear();
	trickle = true;
	std::string line = stop(1 << 20);
	ASSERT_GE(written.size(), 4u);
	std::size_t whole = (written.size() - 4) / 3;
	Bytes want = cat(std::vector<Bytes>(notes.begin(), notes.begin() + whole));
	want.insert(want.begin(), {6, 6, 6, 0xf7});
	EXPECT_EQ(written, want);
	EXPECT_EQ(line, "dropped " + std::to_string(100 - whole) +
	    " events from midi_in: the sndio port is too slow\n");
}

TEST_F(Back, GonePortTakesNothingAndHoldsNothingUp)
{
	run({{0x90, 60, 100}}, 1 << 20);
	eof = true;
	run({{0x90, 61, 100}, {0x90, 62, 100}}, 1 << 20);
	written.clear();
	EXPECT_EQ(stop(1 << 20), "dropped 2 events from midi_in: the sndio port is gone\n");
	EXPECT_EQ(written, Bytes());
}

} // namespace

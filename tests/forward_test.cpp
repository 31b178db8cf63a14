// The parser and process callback of src/forward.cpp, in-process: linked
// with a model of a JACK MIDI port buffer and a scripted mio_read in place
// of libjack and libsndio.  No server, no child process.
//
// The random streams print their seed; FORWARD_SEED=n replays seed n.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <jack/midiport.h>

#include "quarvell.h"

using Bytes = std::vector<unsigned char>;
using Event = std::pair<unsigned, Bytes>;	// the cycle it came in, its bytes

// the bridge state forward.cpp reads; the handles are never looked into
static unsigned char transfer[MIDI_BUF_SIZE];
unsigned char *midi_buf = transfer;
struct mio_hdl *midi_in;
jack_port_t *out_port;

constexpr std::size_t PLENTY = 1 << 20;

// The output port's buffer as jack2 keeps it: clear empties it; it takes
// events while they fit into the room left, which max event size tells,
// shrinking with each event written.  The room counts event data only
// (jack2 spends some on each event's header too).  An event as large as
// the max event size is a fault: jack1 reserves it over its own header.
// Each event written goes to got, with the cycle's number.
static struct {
	std::size_t room, used;
	uint32_t events;		// this cycle's
	unsigned cycle;
	std::vector<Event> got;
	std::string faults;
} port;

// what has arrived on the sndio port, as the chunks it came in: a read
// takes at most n bytes of the first, and the rest of it waits
static std::vector<Bytes> arrived;

// what forward.cpp calls of libjack and libsndio, on the models above
void *jack_port_get_buffer(jack_port_t *, jack_nframes_t) { return &port; }
void jack_midi_clear_buffer(void *) { port.used = port.events = 0; }
uint32_t jack_midi_get_event_count(void *) { return port.events; }
size_t jack_midi_max_event_size(void *) { return port.room - port.used; }

int
jack_midi_event_write(void *buf, jack_nframes_t time, const jack_midi_data_t *data,
    size_t size)
{
	std::size_t max = jack_midi_max_event_size(buf);
	if (size > max)
		return ENOBUFS;
	if (size == max || time != 0)
		port.faults += "an event of " + std::to_string(size) + " bytes at offset " +
		    std::to_string(time) + ", max event size " + std::to_string(max) + "\n";
	port.used += size;
	port.events++;
	port.got.push_back({port.cycle, Bytes(data, data + size)});
	return 0;
}

size_t
mio_read(struct mio_hdl *, void *buf, size_t n)
{
	while (!arrived.empty() && arrived[0].empty())
		arrived.erase(arrived.begin());
	if (arrived.empty())
		return 0;
	n = std::min(n, arrived[0].size());
	std::copy_n(arrived[0].begin(), n, static_cast<unsigned char *>(buf));
	arrived[0].erase(arrived[0].begin(), arrived[0].begin() + n);
	return n;
}

namespace {

using Feed = std::vector<std::vector<Bytes>>;	// the chunks arriving, cycle by cycle
using Room = std::function<std::size_t(unsigned cycle)>;

std::mt19937 rng;

std::size_t
pick(std::size_t lo, std::size_t hi)
{
	return lo + rng() % (hi - lo + 1);
}

// "90,3c/64 f0 01": cycles split by '/', the chunks of a cycle by ','
Feed
script(const std::string &text)
{
	Feed feed(1, std::vector<Bytes>(1));
	for (const char *p = text.c_str(); *p != '\0'; p++) {
		if (*p == '/')
			feed.emplace_back(1);
		else if (*p == ',')
			feed.back().emplace_back();
		else if (*p != ' ')		// two hex digits
			feed.back().back().push_back(std::strtoul(p++, nullptr, 16));
	}
	return feed;
}

// "0: 90 3c 64, f8; 2: f0 55*300 f7": the events by the cycle they came in,
// 4 or more bytes alike as one; of each, the first bytes up to most
std::string
text(const std::vector<Event> &events, std::size_t most = PLENTY)
{
	static const char digit[] = "0123456789abcdef";
	std::string s;
	for (std::size_t i = 0; i < events.size(); i++) {
		if (i > 0 && events[i].first == events[i - 1].first)
			s += ",";
		else
			s += (i > 0 ? "; " : "") + std::to_string(events[i].first) + ":";
		const Bytes &b = events[i].second;
		for (std::size_t j = 0, n; j < b.size() && j < most; j += n) {
			for (n = 1; j + n < b.size() && b[j + n] == b[j]; n++)
				;
			s += {' ', digit[b[j] >> 4], digit[b[j] & 15]};
			if (n >= 4)
				s += "*" + std::to_string(n);
			else
				n = 1;
		}
		if (b.size() > most)
			s += " .. (" + std::to_string(b.size()) + " bytes)";
	}
	return s;
}

// In cycle c feed[c] arrives, then forward_midi runs with room(c); the
// cycles go on until one after the feed writes nothing.  The events written.
std::vector<Event>
run(const Feed &feed, const Room &room)
{
	// a clean parser, by its own rules: what is left in midi_buf goes out
	// with room to spare, then F6 ends whatever is open, running status too
	arrived.assign(1, Bytes{0xf6});
	port.room = PLENTY;
	forward_midi(64, nullptr);
	port.got.clear();
	port.faults.clear();

	unsigned &c = port.cycle;
	for (c = 0; c < feed.size() || (port.events > 0 && c < 100000); c++) {
		if (c < feed.size())
			arrived.insert(arrived.end(), feed[c].begin(), feed[c].end());
		port.room = room(c);
		forward_midi(64, nullptr);
	}
	return port.got;
}

TEST(Forward, EachEventIsOneWholeMessage)
{
	auto check = [](const char *what, const Feed &reads, const std::string &events,
	    std::size_t room = PLENTY) {	// room: bytes of event data a cycle takes
		SCOPED_TRACE(what);
		EXPECT_EQ(text(run(reads, [&](unsigned) { return room; })), events);
		EXPECT_EQ(port.faults, "");
	};
	check("running status", script("90 3c 64 3e 64 f8 40 00 c0 05 06"),
	    "0: 90 3c 64, 90 3e 64, f8, 90 40 00, c0 05, c0 06");
	check("program change and channel pressure, one data byte",
	    script("c5 05 06 d3 fe 40 41/42 c0 7f"),
	    "0: c5 05, c5 06, fe, d3 40, d3 41; 1: d3 42, c0 7f");
	check("system common and SysEx end running status",
	    script("90 3c 64 f6 3e 64 b0 07 64 f0 01 f7 07 00 f1 10 f2 01 02 f3 03 04"),
	    "0: 90 3c 64, f6, b0 07 64, f0 01 f7, f1 10, f2 01 02, f3 03");
	check("split across reads and cycles", script("90,3c/64 f0 01,02//03 f7"),
	    "1: 90 3c 64; 3: f0 01 02 03 f7");
	check("real-time inside a message and a SysEx", script("90 f8 3c fa 64 f0 01 fc 02 ff f7"),
	    "0: f8, fa, 90 3c 64, fc, ff, f0 01 02 f7");
	check("a 10-byte SysEx", script("f0 01 02 03 04 05 06 07 08 f7"),
	    "0: f0 01 02 03 04 05 06 07 08 f7");
	check("malformed input is dropped",
	    script("3c 64 f4 3c f5 f9 fd f7 90 3c f4 64 f0 01 02 90 3c 64 f0 03 f0 04 f7"),
	    "0: f0 01 02 f7, 90 3c 64, f0 03 f7, f0 04 f7");
	check("what does not fit waits, with what follows; a byte stays spare",
	    script("90 3c 64 90 3d 64 90 3e 64 f8"), "0: 90 3c 64, 90 3d 64; 1: 90 3e 64, f8", 9);
	check("what never fits is dropped", script("f0 01 02 03 f7 90 3c 64 f8"),
	    "0: 90 3c 64, f8", 5);

	Bytes sysex(1000, 0x55), notes;
	sysex.front() = 0xf0;
	sysex.back() = 0xf7;
	auto part = [](const Bytes &b, std::size_t from, std::size_t to) {
		return Bytes(b.begin() + from, b.begin() + to);
	};
	check("a 1000-byte SysEx in pieces", {{part(sysex, 0, 600)}, {part(sysex, 600, 1000)}},
	    "0: f0 55*255, 55*256; 1: 55*256, 55*231 f7");
	std::vector<Event> each_note;
	for (int i = 0; i < 200; i++) {
		Bytes note{0x90, static_cast<unsigned char>(i % 128), 1};
		notes.insert(notes.end(), note.begin(), note.end());
		each_note.push_back({0, note});
	}
	check("600 bytes waiting at the start of a cycle",
	    {{part(notes, 0, 256), part(notes, 256, 600)}}, text(each_note));
}

// A stream of valid MIDI and the events it must give, each with the index
// of the byte that completes it.
struct Stream {
	Bytes bytes;
	std::vector<std::pair<std::size_t, Bytes>> events;
};

// Messages of every kind until size bytes: running status at random, a
// real-time byte before any byte now and then, SysEx of 0 to 1,000 bytes,
// half of them near the end of a 256-byte piece.
Stream
generate(std::size_t size)
{
	static const unsigned char kinds[] = {0x80, 0x90, 0xa0, 0xb0, 0xc0, 0xd0, 0xe0,
	    0xf1, 0xf2, 0xf3, 0xf6, 0xf0};
	static const unsigned char realtime[] = {0xf8, 0xfa, 0xfb, 0xfc, 0xfe, 0xff};
	Stream s;
	unsigned char running = 0;
	while (s.bytes.size() < size) {
		Bytes m{kinds[pick(0, 11)]};
		if (m[0] < 0xf0)
			m[0] = running != 0 && pick(0, 1) ? running : m[0] + pick(0, 15);
		std::size_t skip = m[0] == running && pick(0, 3) > 0, len = m[0] == 0xf6 ? 0 : 2;
		running = m[0] < 0xf0 ? m[0] : 0;
		if (m[0] == 0xf0)
			len = pick(0, 1) ? pick(0, 1000) : 256 * pick(1, 3) - 4 + pick(0, 4);
		else if ((m[0] & 0xe0) == 0xc0 || m[0] == 0xf1 || m[0] == 0xf3)
			len = 1;
		for (std::size_t i = 0; i < len; i++)
			m.push_back(pick(0, 127));
		if (m[0] == 0xf0)
			m.push_back(0xf7);
		for (std::size_t i = skip; i < m.size(); i++) {
			if (pick(0, 15) == 0) {
				s.bytes.push_back(realtime[pick(0, 5)]);
				s.events.push_back({s.bytes.size() - 1, {s.bytes.back()}});
			}
			s.bytes.push_back(m[i]);
			if (i + 1 == m.size() || (i + 1) % 256 == 0)	// the end, or a full piece
				s.events.push_back({s.bytes.size() - 1,
				    Bytes(m.begin() + i / 256 * 256, m.begin() + i + 1)});
		}
	}
	return s;
}

// Feeds s as feed and says where the events differ from the stream's, or
// come in another cycle than they should: the one their last byte arrived
// in, or the cycle of the event before, if later; the next one when they
// do not fit beside the events already there with a byte to spare (an
// empty cycle takes any).
std::string
deliver(const Stream &s, const Feed &feed, const Room &room)
{
	std::vector<unsigned> arrival;		// each byte's cycle
	for (unsigned c = 0; c < feed.size(); c++)
		for (const Bytes &b : feed[c])
			arrival.insert(arrival.end(), b.size(), c);
	std::vector<Event> want;
	unsigned c = 0;
	std::size_t used = 0;
	for (auto &[last, data] : s.events) {
		if (arrival[last] > c || data.size() >= room(c) - used) {
			c = std::max(c + 1, arrival[last]);
			used = 0;
		}
		used += data.size();
		want.push_back({c, data});
	}
	std::vector<Event> got = run(feed, room);
	auto [w, g] = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
	if (w == want.end() && g == got.end())
		return port.faults;
	return "event " + std::to_string(w - want.begin()) + ": want " +
	    (w != want.end() ? text({*w}, 12) : "nothing") + ", got " +
	    (g != got.end() ? text({*g}, 12) : "nothing");
}

// 2000 bytes arrive at once where a cycle takes 300: each event comes, in
// order, in the first cycle with room for it.
TEST(Forward, FullBufferDeliversTheRestInLaterCycles)
{
	rng.seed(2);
	Stream s = generate(2000);
	EXPECT_EQ(deliver(s, {{s.bytes}}, [](unsigned) { return 300; }), "");
}

// Random streams in random chunks over random cycles, with a random room of
// 300 bytes or more a cycle; a quarter of them with room to spare, where
// each event comes in the very cycle its last byte arrived in.
TEST(Forward, RandomStreamsComeWholeInOrderAndInTime)
{
	const char *env = std::getenv("FORWARD_SEED");
	unsigned seed = env != nullptr ? std::strtoul(env, nullptr, 10) : std::random_device()();
	std::cout << "seed " << seed << " (FORWARD_SEED=" << seed << " replays it)\n";
	rng.seed(seed);
	for (int n = 0; n < 200; n++) {
		Stream s = generate(pick(1, 3000));
		Feed feed(1);
		for (std::size_t at = 0, len; at < s.bytes.size(); at += len) {
			// in the cycle of the chunk before, the next or the one after
			feed.resize(feed.size() + pick(0, 2));
			len = std::min(pick(1, 1 << pick(0, 9)), s.bytes.size() - at);
			feed.back().emplace_back(s.bytes.begin() + at, s.bytes.begin() + at + len);
		}
		// 300 to 1000 bytes by a hash of the cycle, or a quarter of the time plenty
		std::size_t least = pick(0, 3) == 0 ? PLENTY : 300, salt = rng();
		auto room = [&](unsigned c) { return least + (c * 2654435761u ^ salt) % 701; };
		ASSERT_EQ(deliver(s, feed, room), "") << "stream " << n << " of seed " << seed;
	}
}

} // namespace

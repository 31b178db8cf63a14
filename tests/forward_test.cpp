// The parser and process callback of src/forward.cpp, in-process: linked
// with a model of a JACK MIDI port buffer and a scripted mio_read in place
// of libjack and libsndio.  No server, no child process.
//
// The random streams print their seed; FORWARD_SEED=n replays seed n.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <jack/midiport.h>

#include "quarvell.h"

using Bytes = std::vector<unsigned char>;

// the bridge state forward.cpp reads; the handles are never looked into
static unsigned char transfer[MIDI_BUF_SIZE];
unsigned char *midi_buf = transfer;
struct mio_hdl *midi_in;
jack_port_t *out_port;

namespace {

constexpr std::size_t PLENTY = 1 << 20;

// The output port's buffer as jack2 keeps it: clear empties it; it takes
// events while they fit into the room left, which max event size tells,
// shrinking with each event written.  The room counts event data only
// (jack2 spends some on each event's header too).  An event as large as
// the max event size is a fault: jack1 reserves it over its own header.
// Each event written goes to take, with the cycle's number.
using Take = std::function<void(unsigned cycle, const unsigned char *data, std::size_t n)>;
struct {
	std::size_t room = PLENTY, used = 0;
	uint32_t events = 0;		// this cycle's
	unsigned cycle = 0;
	Take take;
	std::string faults;
} port;

// what has arrived on the sndio port, as the chunks it came in: a read
// takes at most n bytes of the first, and the rest of it waits
std::deque<Bytes> arrived;

} // namespace

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
	if (port.take)
		port.take(port.cycle, data, size);
	return 0;
}

size_t
mio_read(struct mio_hdl *, void *buf, size_t n)
{
	if (arrived.empty())
		return 0;
	Bytes &c = arrived.front();
	n = std::min(n, c.size());
	std::copy_n(c.begin(), n, static_cast<unsigned char *>(buf));
	c.erase(c.begin(), c.begin() + n);
	if (c.empty())
		arrived.pop_front();
	return n;
}

namespace {

using Feed = std::vector<std::vector<Bytes>>;	// the chunks arriving, cycle by cycle
using Room = std::function<std::size_t(unsigned cycle)>;

// "90 3c 64"; 4 or more alike as "55*250"
std::string
hex(const Bytes &b)
{
	std::ostringstream s;
	for (std::size_t i = 0, n; i < b.size(); i += n) {
		for (n = 1; i + n < b.size() && b[i + n] == b[i]; n++)
			;
		s << (i > 0 ? " " : "") << std::hex << std::setw(2) << std::setfill('0')
		  << unsigned(b[i]) << std::dec;
		if (n >= 4)
			s << '*' << n;
		else
			n = 1;
	}
	return s.str();
}

// "90,3c/64 f0 01": cycles split by '/', the chunks of a cycle by ','
Feed
script(const std::string &text)
{
	Feed feed(1, std::vector<Bytes>(1));
	std::istringstream in(text);
	for (char c; in >> c;) {
		if (c == '/') {
			feed.emplace_back(1);
		} else if (c == ',') {
			feed.back().emplace_back();
		} else {
			unsigned b, n = 1;
			in.unget();
			in >> std::hex >> b;
			if (in.peek() == '*')
				in.ignore() >> std::dec >> n;
			feed.back().back().insert(feed.back().back().end(), n, b);
		}
	}
	return feed;
}

// In cycle c feed[c] arrives, then forward_midi runs with room(c) and
// hands each event to take; the cycles go on until one writes nothing.
void
run(const Feed &feed, const Room &room, const Take &take)
{
	// a clean parser, by its own rules: what is left in midi_buf goes out
	// with room to spare, then F6 ends whatever is open, running status too
	arrived.assign(1, Bytes{0xf6});
	port.room = PLENTY;
	forward_midi(64, nullptr);
	port.faults.clear();

	port.take = take;
	unsigned &c = port.cycle;
	for (c = 0; c < feed.size() + 100000; c++) {
		for (std::size_t i = 0; c < feed.size() && i < feed[c].size(); i++)
			if (!feed[c][i].empty())
				arrived.push_back(feed[c][i]);
		port.room = room(c);
		forward_midi(64, nullptr);
		if (c >= feed.size() && port.events == 0)
			break;
	}
	port.take = nullptr;
}

TEST(Forward, EachEventIsOneWholeMessage)
{
	struct Case {
		const char *what;
		std::string reads;
		std::vector<std::pair<unsigned, std::string>> events;	// cycle, bytes
		std::size_t room = PLENTY;	// bytes of event data a cycle takes
	};
	Bytes sysex(1000, 0x55), notes;
	sysex.front() = 0xf0;
	sysex.back() = 0xf7;
	for (int i = 0; i < 200; i++)
		notes.insert(notes.end(), {0x90, static_cast<unsigned char>(i % 128), 1});
	auto part = [](const Bytes &b, std::size_t from, std::size_t to) {
		return hex(Bytes(b.begin() + from, b.begin() + to));
	};
	std::vector<std::pair<unsigned, std::string>> each_note;
	for (std::size_t i = 0; i < notes.size(); i += 3)
		each_note.push_back({0, part(notes, i, i + 3)});

	const Case cases[] = {
	    {"running status", "90 3c 64 3e 64 f8 40 00 c0 05 06",
		{{0, "90 3c 64"}, {0, "90 3e 64"}, {0, "f8"}, {0, "90 40 00"},
		    {0, "c0 05"}, {0, "c0 06"}}},
	    {"program change and channel pressure, one data byte",
		"c5 05 06 d3 fe 40 41/42 c0 7f",
		{{0, "c5 05"}, {0, "c5 06"}, {0, "fe"}, {0, "d3 40"}, {0, "d3 41"},
		    {1, "d3 42"}, {1, "c0 7f"}}},
	    {"system common and SysEx end running status",
		"90 3c 64 f6 3e 64 b0 07 64 f0 01 f7 07 00 f1 10 f2 01 02 f3 03 04",
		{{0, "90 3c 64"}, {0, "f6"}, {0, "b0 07 64"}, {0, "f0 01 f7"},
		    {0, "f1 10"}, {0, "f2 01 02"}, {0, "f3 03"}}},
	    {"split across reads and cycles", "90,3c/64 f0 01,02//03 f7",
		{{1, "90 3c 64"}, {3, "f0 01 02 03 f7"}}},
	    {"real-time inside a message and a SysEx", "90 f8 3c fa 64 f0 01 fc 02 ff f7",
		{{0, "f8"}, {0, "fa"}, {0, "90 3c 64"}, {0, "fc"}, {0, "ff"},
		    {0, "f0 01 02 f7"}}},
	    {"a 10-byte SysEx", "f0 01 02 03 04 05 06 07 08 f7",
		{{0, "f0 01 02 03 04 05 06 07 08 f7"}}},
	    {"a 1000-byte SysEx in pieces", part(sysex, 0, 600) + "/" + part(sysex, 600, 1000),
		{{0, part(sysex, 0, 256)}, {0, part(sysex, 256, 512)},
		    {1, part(sysex, 512, 768)}, {1, part(sysex, 768, 1000)}}},
	    {"malformed input is dropped",
		"3c 64 f4 3c f5 f9 fd f7 90 3c f4 64 f0 01 02 90 3c 64 f0 03 f0 04 f7",
		{{0, "f0 01 02 f7"}, {0, "90 3c 64"}, {0, "f0 03 f7"}, {0, "f0 04 f7"}}},
	    {"what does not fit waits, with what follows; a byte stays spare",
		"90 3c 64 90 3d 64 90 3e 64 f8",
		{{0, "90 3c 64"}, {0, "90 3d 64"}, {1, "90 3e 64"}, {1, "f8"}}, 9},
	    {"what never fits is dropped", "f0 01 02 03 f7 90 3c 64 f8",
		{{0, "90 3c 64"}, {0, "f8"}}, 5},
	    {"600 bytes waiting at the start of a cycle",
		part(notes, 0, 256) + "," + part(notes, 256, 600), each_note},
	};
	for (const Case &k : cases) {
		SCOPED_TRACE(k.what);
		std::string got, want;
		run(script(k.reads), [&](unsigned) { return k.room; },
		    [&](unsigned cycle, const unsigned char *data, std::size_t n) {
			got += std::to_string(cycle) + ": " + hex({data, data + n}) + "\n";
		    });
		for (auto &[cycle, data] : k.events)
			want += std::to_string(cycle) + ": " + data + "\n";
		EXPECT_EQ(got, want);
		EXPECT_EQ(port.faults, "");
	}
}

// A stream of valid MIDI and the events it must give: their bytes one
// after the other in want, and for each the index of the byte that
// completes it in bytes and its end in want.
struct Stream {
	Bytes bytes, want;
	std::vector<std::pair<std::size_t, std::size_t>> events;
};

// Messages of every kind until size bytes: running status at random, a
// real-time byte before any byte now and then, SysEx of 0 to 1,000 bytes,
// half of them near the end of a 256-byte piece.
Stream
generate(std::mt19937 &rng, std::size_t size)
{
	auto pick = [&](unsigned lo, unsigned hi) {
		return static_cast<unsigned char>(lo + rng() % (hi - lo + 1));
	};
	static const unsigned char realtime[] = {0xf8, 0xfa, 0xfb, 0xfc, 0xfe, 0xff};
	static const unsigned char common[] = {0xf1, 0xf2, 0xf3, 0xf6};
	Stream s;
	Bytes m;
	unsigned char running = 0;
	while (s.bytes.size() < size) {
		unsigned kind = pick(0, 11);
		std::size_t len, skip = 0;
		if (kind < 7) {			// 8n to En
			unsigned char status = running != 0 && pick(0, 1) ? running :
			    0x80 + 16 * kind + pick(0, 15);
			m.assign(1, status);
			len = (status & 0xe0) == 0xc0 ? 1 : 2;
			skip = status == running && pick(0, 3) > 0;
			running = status;
		} else if (kind < 11) {		// F1, F2, F3, F6
			m.assign(1, common[kind - 7]);
			len = m[0] == 0xf2 ? 2 : m[0] == 0xf6 ? 0 : 1;
			running = 0;
		} else {			// F0 ... F7
			m.assign(1, 0xf0);
			len = pick(0, 1) ? rng() % 1001 : 256 * pick(1, 3) - 4 + pick(0, 4);
			running = 0;
		}
		for (std::size_t i = 0; i < len; i++)
			m.push_back(pick(0, 127));
		if (m[0] == 0xf0)
			m.push_back(0xf7);
		for (std::size_t i = skip; i < m.size(); i++) {
			if (pick(0, 15) == 0) {
				s.bytes.push_back(realtime[pick(0, 5)]);
				s.want.push_back(s.bytes.back());
				s.events.push_back({s.bytes.size() - 1, s.want.size()});
			}
			s.bytes.push_back(m[i]);
			if (i + 1 == m.size() || (i + 1) % 256 == 0) {
				s.want.insert(s.want.end(), m.begin() + i / 256 * 256, m.begin() + i + 1);
				s.events.push_back({s.bytes.size() - 1, s.want.size()});
			}
		}
	}
	return s;
}

std::string
show(unsigned cycle, const unsigned char *data, std::size_t n)
{
	return hex({data, data + n}).substr(0, 35) + " (" + std::to_string(n) +
	    " bytes) in cycle " + std::to_string(cycle);
}

// Feeds s as feed and says where the events differ from the stream's, or
// come in another cycle than they should: the one their last byte arrived
// in, or the cycle of the event before, if later; the next one when they
// do not fit beside the events already there with a byte to spare.
std::string
deliver(const Stream &s, const Feed &feed, const Room &room)
{
	std::vector<unsigned> arrival;
	arrival.reserve(s.bytes.size());
	for (unsigned c = 0; c < feed.size(); c++)
		for (const Bytes &b : feed[c])
			arrival.insert(arrival.end(), b.size(), c);
	std::string d;
	std::size_t i = 0, from = 0, used = 0;
	unsigned c = 0;
	run(feed, room, [&](unsigned cycle, const unsigned char *data, std::size_t n) {
		if (d.empty() && i == s.events.size())
			d = "more events than sent: " + show(cycle, data, n);
		if (!d.empty())
			return;
		auto [last, to] = s.events[i];
		if (arrival[last] > c) {
			c = arrival[last];
			used = 0;
		}
		if (to - from >= room(c) - used) {
			c++;
			used = 0;
		}
		used += to - from;
		if (cycle != c || !std::equal(data, data + n, &s.want[from], &s.want[0] + to))
			d = "event " + std::to_string(i) + ": want " +
			    show(c, &s.want[from], to - from) + ", got " + show(cycle, data, n);
		from = to;
		i++;
	});
	if (d.empty() && i < s.events.size())
		d = "event " + std::to_string(i) + " never came: " +
		    show(c, &s.want[from], s.events[i].second - from);
	return d.empty() ? port.faults : d;
}

// 2000 bytes arrive at once where a cycle takes 300: each event comes, in
// order, in the first cycle with room for it.
TEST(Forward, FullBufferDeliversTheRestInLaterCycles)
{
	std::mt19937 rng(2);
	Stream s = generate(rng, 2000);
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
	std::mt19937 rng(seed);
	auto pick = [&](std::size_t lo, std::size_t hi) { return lo + rng() % (hi - lo + 1); };
	for (int n = 0; n < 200; n++) {
		Stream s = generate(rng, pick(1, 3000));
		Feed feed;
		for (std::size_t at = 0; at < s.bytes.size();) {
			feed.emplace_back();
			for (std::size_t k = pick(0, 3); k > 0 && at < s.bytes.size(); k--) {
				std::size_t len = std::min(pick(1, 1 << pick(0, 9)), s.bytes.size() - at);
				feed.back().emplace_back(s.bytes.begin() + at, s.bytes.begin() + at + len);
				at += len;
			}
		}
		// 300 to 1000 bytes, by a hash of the cycle
		std::size_t spare = pick(0, 3) == 0, salt = rng();
		auto room = [&](unsigned c) {
			return spare ? PLENTY : 300 + (c * 2654435761u ^ salt) % 701;
		};
		ASSERT_EQ(deliver(s, feed, room), "") << "stream " << n << " of seed " << seed;
	}
}

} // namespace

// What bench/peers plays and makes of what it saw: its notes, taken out
// of MIDI bytes again, events that are one message, and the frame at
// which a time lay.
#ifndef PEERS_H
#define PEERS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

// note k of a channel: Note On, never of velocity 0, which some take for
// a Note Off
inline void
note(unsigned char *m, int ch, int k)
{
	m[0] = static_cast<unsigned char>(0x90 | ch);
	m[1] = static_cast<unsigned char>(k & 0x7f);
	m[2] = static_cast<unsigned char>(1 + (k >> 7));
}

// Takes MIDI bytes apart into notes, with running status.
struct Notes {
	unsigned char status = 0, data[2];
	int n = 0;

	// the note that byte b completes: its channel and number, or -1
	int take(unsigned char b, int *ch)
	{
		if (b >= 0xf8)
			return -1;
		if (b >= 0x80) {
			status = b < 0xf0 ? b : 0;
			n = 0;
			return -1;
		}
		if ((status & 0xf0) != 0x90)
			return -1;
		data[n++] = b;
		if (n < 2)
			return -1;
		n = 0;
		*ch = status & 0x0f;
		return data[1] == 0 ? -1 : data[0] | (data[1] - 1) << 7;
	}
};

// whether an event is one whole MIDI message, and no more
inline bool
one_message(const unsigned char *p, std::size_t n)
{
	if (n == 0 || p[0] < 0x80)
		return false;
	unsigned char s = p[0];
	if (s == 0xf0)
		return n >= 2 && p[n - 1] == 0xf7 &&
		    std::all_of(p + 1, p + n - 1, [](unsigned char b) { return b < 0x80; });
	std::size_t len = s >= 0xf8 || s == 0xf6 ? 1 : s == 0xf1 || s == 0xf3 ||
	    (s & 0xe0) == 0xc0 ? 2 : 3;
	return n == len && std::all_of(p + 1, p + n, [](unsigned char b) { return b < 0x80; });
}

// A cycle as the measuring client saw it: its first frame, and the time
// its callback started.
struct Cycle {
	std::int64_t frame, ns;
};

// The frame at which time ns lay, among n >= 2 cycles: at its share of
// the frames between the two cycles around it, or beyond the first or
// last two as they went.
inline double
frame_at(const Cycle *cycles, std::size_t n, std::int64_t ns)
{
	const Cycle *it = std::upper_bound(cycles, cycles + n, ns,
	    [](std::int64_t t, const Cycle &c) { return t < c.ns; });
	std::size_t i = std::clamp<std::size_t>(it - cycles, 1, n - 1) - 1;
	const Cycle &a = cycles[i], &b = cycles[i + 1];
	return a.frame + static_cast<double>(ns - a.ns) / (b.ns - a.ns) * (b.frame - a.frame);
}

#endif

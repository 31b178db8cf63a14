/*
 * The way back, with -o: what JACK clients play into midi_in goes to the
 * sndio port, byte for byte, each event whole and in the order it came.
 *
 * play_back runs on JACK's process thread, after forward_midi: no
 * allocation, lock, message or blocking call.  Each cycle's events join
 * a queue in back_buf, and the queue is written through the non-blocking
 * handle as far as the port takes it; the rest waits for later cycles.
 * An event the queue has no room for is dropped whole, so the port never
 * gets part of a message.  A SysEx that loses a piece is ended with an
 * F7 of ours, and its later pieces are dropped too: the device is never
 * left inside it.
 *
 * What the port has taken is followed as the device sees it: running
 * status, the notes that sound and the sustain pedals down.  At the stop,
 * once the client is closed, finish_back writes what still waits and
 * then the Note Offs and pedal lifts that leave the device silent.
 */
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <poll.h>

#include <jack/midiport.h>

#include "quarvell.h"

namespace {

/* the queue: each event is a 4-byte length, then its bytes */
constexpr std::size_t HDR = 4;
constexpr std::size_t RESERVE = HDR + 1;	/* always room for our F7 */
std::size_t q_head, q_tail;	/* positions in back_buf, modulo its size */
std::size_t head_len, head_left;	/* the event being written */
bool q_sysex;			/* the queued bytes end inside a SysEx */
bool skipping;			/* dropping the rest of a cut SysEx */

/* what the device has been sent */
struct {
	unsigned char status;	/* running status, 0 for none */
	unsigned char data[2];
	std::size_t have;
	bool sysex;
	std::uint8_t notes[16][16];	/* a bit for each note that sounds */
	std::uint16_t pedals;		/* a bit for each channel's CC 64 */
} sent;

/* events dropped since the last line; whether for a port gone */
std::atomic<unsigned long> dropped;
std::atomic<bool> gone;
static_assert(std::atomic<unsigned long>::is_always_lock_free);

std::size_t
queued()
{
	return q_tail - q_head;
}

void
put(const unsigned char *p, std::size_t n)
{
	std::size_t at = q_tail % BACK_BUF_SIZE, first = BACK_BUF_SIZE - at;

	if (first > n)
		first = n;
	std::memcpy(back_buf + at, p, first);
	std::memcpy(back_buf, p + first, n - first);
	q_tail += n;
}

void
put_event(const unsigned char *p, std::size_t n)
{
	unsigned char len[HDR] = {static_cast<unsigned char>(n),
	    static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n >> 16),
	    static_cast<unsigned char>(n >> 24)};

	put(len, HDR);
	put(p, n);
}

std::size_t
event_len(std::size_t pos)
{
	std::size_t n = 0;

	for (std::size_t i = HDR; i-- > 0;)
		n = n << 8 | back_buf[(pos + i) % BACK_BUF_SIZE];
	return n;
}

/* whether a stream inside a SysEx or not (open) is inside one after p */
bool
in_sysex(bool open, const unsigned char *p, std::size_t n)
{
	for (std::size_t i = 0; i < n; i++) {
		if (p[i] == 0xf0)
			open = true;
		else if (p[i] >= 0x80 && p[i] < 0xf8)
			open = false;
	}
	return open;
}

/* Drops all that waits, counting its events; the head's rest too. */
void
drop_queue()
{
	unsigned long n = 0;

	if (head_left > 0) {
		q_head += head_left;
		head_left = 0;
		n++;
	}
	for (; q_head != q_tail; n++)
		q_head += HDR + event_len(q_head);
	dropped += n;
	q_sysex = false;
}

/* One event from midi_in joins the queue, or is dropped whole. */
void
queue_event(const unsigned char *p, std::size_t n)
{
	bool piece = p[0] < 0x80;	/* goes on with what came before */
	bool open = in_sysex(q_sysex, p, n);

	if (skipping) {
		if (piece) {
			dropped++;
			skipping = in_sysex(true, p, n);
			return;
		}
		if (p[0] < 0xf8)
			skipping = false;	/* a new message */
	}
	if (BACK_BUF_SIZE - queued() >= HDR + n + RESERVE) {
		put_event(p, n);
		q_sysex = open;
		return;
	}
	dropped++;
	if (q_sysex && piece) {
		/* a SysEx cut short: end it; the rest of it goes too */
		const unsigned char eox = 0xf7;
		put_event(&eox, 1);
		q_sysex = false;
		skipping = open;
	} else if (in_sysex(false, p, n)) {
		skipping = true;	/* the pieces of a SysEx never begun */
	}
}

void
note(int ch, int key, bool on)
{
	std::uint8_t bit = static_cast<std::uint8_t>(1u << (key & 7));

	if (on)
		sent.notes[ch][key >> 3] |= bit;
	else
		sent.notes[ch][key >> 3] &= static_cast<std::uint8_t>(~bit);
}

/* One byte the port has taken. */
void
track(unsigned char b)
{
	if (b >= 0xf8) {			/* real-time */
		if (b == 0xff)			/* system reset */
			std::memset(&sent, 0, sizeof sent);
		return;
	}
	if (b >= 0x80) {
		sent.status = b < 0xf0 ? b : 0;
		sent.sysex = b == 0xf0;
		sent.have = 0;
		return;
	}
	if (sent.status == 0)
		return;				/* SysEx or system common */
	sent.data[sent.have++] = b;
	if (sent.have < ((sent.status & 0xe0) == 0xc0 ? 1 : 2))
		return;
	sent.have = 0;

	int ch = sent.status & 15, key = sent.data[0], value = sent.data[1];
	std::uint16_t bit = static_cast<std::uint16_t>(1u << ch);
	switch (sent.status & 0xf0) {
	case 0x80:
		note(ch, key, false);
		break;
	case 0x90:
		note(ch, key, value != 0);
		break;
	case 0xb0:
		if (key == 64 && value >= 64)
			sent.pedals |= bit;
		else if (key == 64 || key == 121)	/* reset controllers too */
			sent.pedals &= static_cast<std::uint16_t>(~bit);
		else if (key == 120 || key == 123)	/* sound or notes off */
			std::memset(sent.notes[ch], 0, sizeof sent.notes[ch]);
		break;
	}
}

/* Writes p as far as the port takes it; how much it took. */
std::size_t
send(const unsigned char *p, std::size_t n)
{
	std::size_t done = mio_write(midi_in, p, n);

	for (std::size_t i = 0; i < done; i++)
		track(p[i]);
	return done;
}

/* Writes the queue as far as the port takes it; the head only, if asked. */
void
write_queue(bool head_only = false)
{
	while (q_head != q_tail) {
		if (head_left == 0) {
			if (head_only)
				return;
			head_len = head_left = event_len(q_head);
			q_head += HDR;
			continue;
		}
		std::size_t at = q_head % BACK_BUF_SIZE;
		std::size_t n = BACK_BUF_SIZE - at < head_left ? BACK_BUF_SIZE - at : head_left;
		std::size_t done = send(back_buf + at, n);
		q_head += done;
		head_left -= done;
		if (done < n)
			break;
	}
	if (q_head != q_tail && mio_eof(midi_in)) {
		gone = true;
		drop_queue();
	}
}

double
now()
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

/*
 * Waits a little for the port to take more.  libsndio learns that sndiod
 * has room again only from its messages, which mio_revents and mio_read
 * take in; input that still comes is thrown away.
 */
void
wait_port()
{
	struct pollfd pfd[4];
	unsigned char scrap[MIDI_BUF_SIZE];
	int n = mio_nfds(midi_in) <= 4 ? mio_pollfd(midi_in, pfd, POLLOUT) : 0;

	if (poll(pfd, n, 2) > 0 && (mio_revents(midi_in, pfd) & POLLIN))
		mio_read(midi_in, scrap, sizeof scrap);
}

/* Writes the queue until it is empty, the port gone, or the time up. */
void
write_for(double seconds, bool head_only)
{
	for (double end = now() + seconds;; wait_port()) {
		write_queue(head_only);
		if (q_head == q_tail || (head_only && head_left == 0) ||
		    mio_eof(midi_in) || now() >= end)
			return;
	}
}

/* Sends what silences the device: the end of an open SysEx, a Note Off
 * for each note that sounds, and each pedal up, channel by channel. */
void
silence(double seconds)
{
	unsigned char *p = back_buf, *off = p;

	if (sent.sysex)
		*p++ = 0xf7;
	for (int ch = 0; ch < 16; ch++) {
		for (int key = 0; key < 128; key++) {
			if (sent.notes[ch][key >> 3] & (1u << (key & 7))) {
				*p++ = static_cast<unsigned char>(0x80 | ch);
				*p++ = static_cast<unsigned char>(key);
				*p++ = 0x40;
			}
		}
		if (sent.pedals & (1u << ch)) {
			*p++ = static_cast<unsigned char>(0xb0 | ch);
			*p++ = 64;
			*p++ = 0;
		}
	}
	for (double end = now() + seconds; off < p && !mio_eof(midi_in) && now() < end;) {
		off += send(off, static_cast<std::size_t>(p - off));
		if (off < p)
			wait_port();
	}
}

} // namespace

void
play_back(jack_nframes_t nframes)
{
	void *buf = jack_port_get_buffer(in_port, nframes);
	std::uint32_t n = jack_midi_get_event_count(buf);
	jack_midi_event_t ev;

	for (std::uint32_t i = 0; i < n; i++)
		if (jack_midi_event_get(&ev, buf, i) == 0 && ev.size > 0)
			queue_event(ev.buffer, ev.size);
	write_queue();
}

void
finish_back(double seconds)
{
	if (back_buf == nullptr || midi_in == nullptr)
		return;
	/* what waits; then the message being written, and no more */
	write_for(seconds, false);
	if (head_left > 0 && head_left < head_len)
		write_for(seconds / 2, true);
	bool lost = mio_eof(midi_in);
	if (lost && q_head != q_tail)
		gone = true;
	drop_queue();
	skipping = false;
	/* the queue is empty: its room holds what silences the device */
	if (!lost)
		silence(seconds / 2);
	report_drops(true);
}

void
report_drops(bool last)
{
	static double told;
	double t = now();

	if (dropped == 0 || (!last && t - told < 1))
		return;
	told = t;
	std::fprintf(stderr, "dropped %lu events from midi_in: the sndio port is %s\n",
	    dropped.exchange(0), gone.exchange(false) ? "gone" : "too slow");
}

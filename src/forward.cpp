/*
 * The JACK process callback.  It runs on JACK's real-time thread: no
 * allocation, no lock, no message, no blocking call.  midi_in is
 * non-blocking, so a read with nothing waiting returns 0 at once.
 *
 * JACK wants one complete message per event, so the bytes are parsed as
 * they come: a channel or system common message is one event, with
 * running status expanded; a real-time byte is an event of its own, at
 * once, even inside another message; a SysEx is one event, or pieces of
 * at most MIDI_BUF_SIZE bytes when longer, the first starting with F0 and
 * the last ending with F7.  Stray data bytes, undefined status bytes, a
 * lone F7 and a message cut short by a status byte are dropped; a SysEx
 * cut short is ended with an F7 of ours, so that no piece stays open.
 *
 * The parser state and the bytes read but not yet parsed last from one
 * cycle to the next: a message that does not fit into this cycle's
 * buffer waits, with everything after it, for the next one.
 */
#include <jack/midiport.h>

#include "quarvell.h"

namespace {

constexpr std::size_t SYSEX = MIDI_BUF_SIZE + 1;	/* msg_len is open-ended */

unsigned char msg[MIDI_BUF_SIZE];	/* the message being gathered */
std::size_t msg_len;			/* its bytes so far */
std::size_t msg_want;			/* its length, SYSEX, or 0 for none */
unsigned char running;			/* channel status for running status */
std::size_t in_pos, in_len;		/* what of midi_buf is parsed */

/*
 * Write one event at offset 0, or tell that it does not fit.  One byte
 * stays spare: jack1's jack_midi_event_reserve lets an event as large as
 * jack_midi_max_event_size overwrite the top of its own header.
 */
bool
put(void *buf, const unsigned char *data, std::size_t n)
{
	return n < jack_midi_max_event_size(buf) &&
	    jack_midi_event_write(buf, 0, data, n) == 0;
}

/* program change and channel pressure have one data byte, the rest two */
std::size_t
channel_len(unsigned char status)
{
	return (status & 0xe0) == 0xc0 ? 2 : 3;
}

/* Opens a message with status byte b. */
void
open_msg(unsigned char b, std::size_t want)
{
	msg[0] = b;
	msg_len = 1;
	msg_want = want;
}

/*
 * Takes one byte; false when the event it completes does not fit, and
 * then the byte must come again next cycle.  Each step that writes
 * changes the state only once written, so taking the byte again goes on
 * where it stopped.
 */
bool
parse(void *buf, unsigned char b)
{
	if (b >= 0xf8)				/* real-time */
		return b == 0xf9 || b == 0xfd || put(buf, &b, 1);

	if (b < 0x80) {				/* data */
		if (msg_want == 0) {
			if (running == 0)
				return true;	/* no status to apply */
			open_msg(running, channel_len(running));
		}
		msg[msg_len++] = b;
		if (msg_len < (msg_want == SYSEX ? MIDI_BUF_SIZE : msg_want))
			return true;
		if (!put(buf, msg, msg_len)) {
			msg_len--;
			return false;
		}
		if (msg_want == SYSEX)
			msg_len = 0;		/* a full piece; more follows */
		else
			msg_want = 0;
		return true;
	}

	/* any other status byte ends what is open */
	if (msg_want == SYSEX) {
		msg[msg_len] = 0xf7;
		if (!put(buf, msg, msg_len + 1))
			return false;
		msg_want = 0;
		if (b == 0xf7)
			return true;
	}
	msg_want = 0;
	if (b < 0xf0) {				/* channel */
		running = b;
		open_msg(b, channel_len(b));
		return true;
	}
	running = 0;				/* system common */
	switch (b) {
	case 0xf0:
		open_msg(b, SYSEX);
		break;
	case 0xf1:
	case 0xf3:
		open_msg(b, 2);
		break;
	case 0xf2:
		open_msg(b, 3);
		break;
	case 0xf6:
		return put(buf, &b, 1);
	default:				/* F4, F5, a lone F7 */
		break;
	}
	return true;
}

} // namespace

int
forward_midi(jack_nframes_t nframes, void *)
{
	void *buf = jack_port_get_buffer(out_port, nframes);
	jack_midi_clear_buffer(buf);

	for (;;) {
		if (in_pos == in_len) {
			in_len = mio_read(midi_in, midi_buf, MIDI_BUF_SIZE);
			in_pos = 0;
			if (in_len == 0)
				break;
		}
		if (!parse(buf, midi_buf[in_pos])) {
			if (jack_midi_get_event_count(buf) != 0)
				break;		/* it waits for the next cycle */
			/*
			 * Not even an empty buffer takes it: waiting would stop
			 * the input for good.  Drop the message, then the byte.
			 */
			if (msg_want != 0 || running != 0) {
				msg_want = 0;
				running = 0;
				continue;
			}
		}
		in_pos++;
	}
	return 0;
}

/*
 * The JACK process callback.  It runs on JACK's real-time thread: no
 * allocation, no lock, no message, no blocking call.  midi_in is
 * non-blocking, so a read with nothing waiting returns 0 at once.
 */
#include <jack/midiport.h>

#include "quarvell.h"

int
forward_midi(jack_nframes_t nframes, void *)
{
	void *buf = jack_port_get_buffer(out_port, nframes);
	jack_midi_clear_buffer(buf);

	for (;;) {
		/*
		 * Read no more than the buffer can still take: what does
		 * not fit waits in sndio for the next cycle instead of
		 * being dropped from the middle of the stream.
		 */
		std::size_t room = jack_midi_max_event_size(buf);
		if (room == 0)
			break;
		if (room > MIDI_BUF_SIZE)
			room = MIDI_BUF_SIZE;

		std::size_t n = mio_read(midi_in, midi_buf, room);
		if (n == 0)
			break;
		jack_midi_event_write(buf, 0, midi_buf, n);
	}
	return 0;
}

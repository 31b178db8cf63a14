/*
 * quarvell: move the bytes of one sndio MIDI input into a JACK MIDI port.
 *
 * The bridge settings and state are process-wide.  The main thread fills
 * them before the JACK client is activated and never changes them after;
 * the process callback only reads them.
 */
#ifndef QUARVELL_H
#define QUARVELL_H

#include <cstddef>

#include <jack/jack.h>
#include <sndio.h>

/* size of the transfer buffer, and the most bytes asked of one read */
constexpr std::size_t MIDI_BUF_SIZE = 256;

/* settings: the sndio port to read, the client name asked of JACK */
extern const char *mio_port;
extern const char *jack_client_name;

/* state: null until acquired, never set back to null */
extern unsigned char *midi_buf;
extern struct mio_hdl *midi_in;
extern jack_client_t *client;
extern jack_port_t *out_port;

/* read the options into the settings, or end with the usage line */
void parse_args(int argc, char *argv[]);

/* process callback: drain the sndio input into out_port */
int forward_midi(jack_nframes_t nframes, void *arg);

/* close the client, then the sndio handle, then free the buffer; once */
void release_all();

#endif

/*
 * quarvell: move the bytes of one sndio MIDI input into a JACK MIDI port,
 * and with -o what JACK clients play back into that sndio port.
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

/* the queue of the way back: a 64 KB patch dump fits whole */
constexpr std::size_t BACK_BUF_SIZE = 128 * 1024;

/* settings: the sndio port to read, the client name asked of JACK, -o */
extern const char *mio_port;
extern const char *jack_client_name;
extern bool both_ways;

/* state: null until acquired, never set back to null */
extern unsigned char *midi_buf;
extern struct mio_hdl *midi_in;
extern jack_client_t *client;
extern jack_port_t *out_port;
/* with -o: the queue, and the JACK input port "midi_in" */
extern unsigned char *back_buf;
extern jack_port_t *in_port;

/* read the options into the settings, or end with the usage line */
void parse_args(int argc, char *argv[]);

/* process callback: drain the sndio input into out_port */
int forward_midi(jack_nframes_t nframes, void *arg);

/* process callback's second half with -o: midi_in into the sndio port */
void play_back(jack_nframes_t nframes);

/* once the client is closed: write what waits, for at most about seconds,
 * silence what still sounds, and say what was dropped */
void finish_back(double seconds);

/* say how many events of midi_in were dropped since the last time; at
 * most once a second unless last */
void report_drops(bool last);

/* close the client, then the sndio handle, then free the buffers; once */
void release_all();

#endif

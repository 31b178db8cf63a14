// Figures for bench/peers: one MIDI bridge between snd-virmidi's card 0
// and a running JACK server, measured from both ends.  bench/peers runs
// it under tests/kernel.sh:
//
//	peers hold
//	peers idle JACKD_PID
//	peers measure raw|seq PORTS BRIDGE_PID JACKD_PID
//
// hold keeps all but one of midiC0D0's substreams open each way, until
// it is killed: a bridge that opens every substream it finds, as jackd's
// do, then holds one input and one output, as of a keyboard.  idle prints jackd's CPU while this client alone is active.
//
// measure plays notes through the bridge whose JACK ports have a name or
// alias matching the extended regular expression PORTS: into the device,
// read from the bridge's capture port; then, where it has a playback port,
// written there and read from the device.  The device's other end is
// ours: a bridge that reads midiC0D0 (raw) is written to and read through
// the kernel's sequencer, as client 16 "Virtual Raw MIDI 0-0", and a
// bridge on the sequencer (seq) through midiC0D0.  BRIDGE_PID is 0 for a
// bridge inside jackd.  It prints one line of key=value figures.
//
// Latency is counted in frames, against the cycles this client saw: each
// cycle's first frame (jack_last_frame_time) and the time its callback
// started.  A time between two cycles lies at its share of the frames
// between them, and an event at offset f in a cycle lies f frames after
// its start.  JACK's own time estimate is not used: on the dummy driver
// in an emulated machine it strays by hundreds of milliseconds.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <sound/asequencer.h>
#include <sound/asound.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <jack/jack.h>
#include <jack/midiport.h>

#include "peers.h"
#include "percentile.h"

namespace {

constexpr int PLAYED = 1000;		// notes 3 to 9 ms apart, as played
constexpr int PACED = 10000;		// notes at 500 a second
constexpr int BURST = 1000;		// notes in one write
constexpr int MAX_NOTES = 16256;	// note number and velocity 1-127
constexpr int PROBE = 0, CH_PLAYED = 1, CH_PACED = 2, CH_BURST = 3, CHANNELS = 4;
constexpr char DEVICE[] = "/dev/snd/midiC0D0";
constexpr int VIRMIDI = 16;		// the sequencer client of midiC0D0

[[noreturn]] void
die(const std::string &what)
{
	std::fprintf(stderr, "peers: %s\n", what.c_str());
	// not exit(3): the reader and libjack's threads are still at work
	_exit(1);
}

std::int64_t
now_ns()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void
sleep_until(std::int64_t ns)
{
	struct timespec ts = {static_cast<time_t>(ns / 1000000000),
	    static_cast<long>(ns % 1000000000)};
	while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR)
		;
}

void
sleep_ms(int ms)
{
	sleep_until(now_ns() + ms * 1000000LL);
}

// CPU time (utime and stime) of a process, in ns; 0 for pid 0
std::int64_t
cpu_ns(pid_t pid)
{
	clockid_t id;
	struct timespec ts;
	if (pid == 0)
		return 0;
	if (clock_getcpuclockid(pid, &id) != 0 || clock_gettime(id, &ts) != 0)
		die("no CPU clock for process " + std::to_string(pid));
	return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// A window of CPU use, in ms a second of the bridge's and of jackd's.
struct Cpu {
	pid_t bridge, jackd;
	std::int64_t t, b, j;

	Cpu(pid_t bridge_pid, pid_t jackd_pid) : bridge(bridge_pid), jackd(jackd_pid)
	{
		t = now_ns(), b = cpu_ns(bridge), j = cpu_ns(jackd);
	}
	std::string figures(const char *name) const
	{
		double s = (now_ns() - t) / 1e9;
		char out[128];
		std::snprintf(out, sizeof out, " %s_bridge=%.2f %s_jackd=%.2f", name,
		    (cpu_ns(bridge) - b) / 1e6 / s, name, (cpu_ns(jackd) - j) / 1e6 / s);
		return out;
	}
};

// the JACK client: what it saw of each cycle and each event

struct Event {
	std::int64_t frame;
	std::uint32_t pos, size;
};

jack_client_t *client;
jack_port_t *in_port, *out_port;
double frames_per_period;
std::vector<Cycle> cycles(1 << 18);
std::atomic<std::size_t> n_cycles;
std::vector<Event> events(1 << 17);
std::vector<unsigned char> event_bytes(1 << 21);
std::atomic<std::size_t> n_events;
std::size_t n_bytes;

// The way back: what the callback writes once armed, at frames after the
// first cycle that sees it so, and the frames it was written at.  The
// main thread fills the schedule only while the callback is not at it.
enum { IDLE, ARMED, DONE };
std::atomic<int> back_state{IDLE};
std::vector<std::int64_t> back_at(MAX_NOTES), back_frame(MAX_NOTES);
std::vector<unsigned char> back_msg(3 * MAX_NOTES);
int back_n, back_next;
std::int64_t back_base;

int
process(jack_nframes_t nframes, void *)
{
	static std::uint32_t last;
	static std::int64_t frame = -1;
	std::uint32_t f = jack_last_frame_time(client);
	frame = frame < 0 ? f : frame + static_cast<std::uint32_t>(f - last);
	last = f;
	std::size_t c = n_cycles;
	if (c < cycles.size()) {
		cycles[c] = {frame, now_ns()};
		n_cycles.store(c + 1, std::memory_order_release);
	}

	void *in = jack_port_get_buffer(in_port, nframes);
	std::size_t e = n_events;
	jack_midi_event_t ev;
	for (std::uint32_t i = 0; jack_midi_event_get(&ev, in, i) == 0; i++) {
		if (e == events.size() || n_bytes + ev.size > event_bytes.size())
			break;
		std::memcpy(&event_bytes[n_bytes], ev.buffer, ev.size);
		events[e++] = {frame + ev.time, static_cast<std::uint32_t>(n_bytes),
		    static_cast<std::uint32_t>(ev.size)};
		n_bytes += ev.size;
	}
	n_events.store(e, std::memory_order_release);

	void *out = jack_port_get_buffer(out_port, nframes);
	jack_midi_clear_buffer(out);
	if (back_state.load(std::memory_order_acquire) != ARMED)
		return 0;
	if (back_base < 0)
		back_base = frame;
	for (; back_next < back_n && back_base + back_at[back_next] < frame + nframes;
	    back_next++) {
		std::int64_t at = std::max(back_base + back_at[back_next], frame);
		// a full buffer: the rest waits for the next cycle
		if (jack_midi_event_write(out, static_cast<jack_nframes_t>(at - frame),
		    &back_msg[3 * back_next], 3) != 0)
			break;
		back_frame[back_next] = at;
	}
	if (back_next == back_n)
		back_state.store(DONE, std::memory_order_release);
	return 0;
}

// the frame at which time ns lay, among the cycles seen so far
double
frame_at(std::int64_t ns)
{
	std::size_t n = n_cycles.load(std::memory_order_acquire);
	if (n < 2)
		die("no cycles seen");
	return ::frame_at(cycles.data(), n, ns);
}

// the device's other end

bool seq_end;
int dev;			// midiC0D0, or the sequencer
int seq_port;			// ours, when on the sequencer
std::vector<std::int64_t> written(CHANNELS * MAX_NOTES);	// when each note went
std::vector<std::atomic<std::int64_t>> came(CHANNELS * MAX_NOTES);	// from the device
std::atomic<int> came_n[CHANNELS];

void
open_raw()
{
	dev = open(DEVICE, O_RDWR | O_CLOEXEC);
	if (dev < 0)
		die(std::string("couldn't open ") + DEVICE + ": " + std::strerror(errno));
	// room for a burst and more, so that nothing is lost on our side
	for (int stream : {SNDRV_RAWMIDI_STREAM_OUTPUT, SNDRV_RAWMIDI_STREAM_INPUT}) {
		struct snd_rawmidi_params p {};
		p.stream = stream;
		p.buffer_size = 1 << 16;
		p.avail_min = 1;
		if (ioctl(dev, SNDRV_RAWMIDI_IOCTL_PARAMS, &p) != 0)
			die("couldn't size the device's buffers");
	}
}

void
open_seq()
{
	int me;
	dev = open("/dev/snd/seq", O_RDWR | O_CLOEXEC);
	if (dev < 0 || ioctl(dev, SNDRV_SEQ_IOCTL_CLIENT_ID, &me) != 0)
		die("couldn't open the sequencer");
	struct snd_seq_client_pool pool {};
	pool.client = me;
	pool.output_pool = pool.input_pool = 2000;	// the most it allows
	pool.output_room = 1;
	if (ioctl(dev, SNDRV_SEQ_IOCTL_SET_CLIENT_POOL, &pool) != 0)
		die("couldn't size the sequencer pools");
	struct snd_seq_port_info port {};
	port.addr.client = static_cast<unsigned char>(me);
	std::strcpy(port.name, "peers");
	port.capability = SNDRV_SEQ_PORT_CAP_READ | SNDRV_SEQ_PORT_CAP_SUBS_READ |
	    SNDRV_SEQ_PORT_CAP_WRITE | SNDRV_SEQ_PORT_CAP_SUBS_WRITE | SNDRV_SEQ_PORT_CAP_NO_EXPORT;
	port.type = SNDRV_SEQ_PORT_TYPE_MIDI_GENERIC | SNDRV_SEQ_PORT_TYPE_APPLICATION;
	if (ioctl(dev, SNDRV_SEQ_IOCTL_CREATE_PORT, &port) != 0)
		die("couldn't make a sequencer port");
	seq_port = port.addr.port;
	// ours to midiC0D0's input, as virmidi takes events only from its
	// subscribers; what the bridge writes into it to us
	struct snd_seq_port_subscribe to {}, from {};
	to.sender = from.dest = port.addr;
	to.dest = from.sender = {VIRMIDI, 0};
	if (ioctl(dev, SNDRV_SEQ_IOCTL_SUBSCRIBE_PORT, &to) != 0 ||
	    ioctl(dev, SNDRV_SEQ_IOCTL_SUBSCRIBE_PORT, &from) != 0)
		die("couldn't connect to Virtual Raw MIDI 0-0");
}

// n notes of channel ch, from k, into the device at once
void
send_notes(int ch, int k, int n)
{
	std::vector<unsigned char> raw(3 * n);
	std::vector<struct snd_seq_event> seq(n);
	for (int i = 0; i < n; i++) {
		note(&raw[3 * i], ch, k + i);
		seq[i].type = SNDRV_SEQ_EVENT_NOTEON;
		seq[i].queue = SNDRV_SEQ_QUEUE_DIRECT;
		seq[i].source.port = static_cast<unsigned char>(seq_port);
		seq[i].dest.client = SNDRV_SEQ_ADDRESS_SUBSCRIBERS;
		seq[i].data.note.channel = static_cast<unsigned char>(ch);
		seq[i].data.note.note = raw[3 * i + 1];
		seq[i].data.note.velocity = raw[3 * i + 2];
	}
	std::int64_t t = now_ns();
	for (int i = 0; i < n; i++)
		written[ch * MAX_NOTES + k + i] = t;
	ssize_t want = seq_end ? n * sizeof seq[0] : 3 * n;
	if (write(dev, seq_end ? static_cast<void *>(seq.data()) : raw.data(), want) != want)
		die(std::string("couldn't write into the device: ") + std::strerror(errno));
}

void
arrived(int ch, int k, std::int64_t t)
{
	if (ch < CHANNELS && k < MAX_NOTES) {
		std::int64_t none = 0;
		if (came[ch * MAX_NOTES + k].compare_exchange_strong(none, t))
			came_n[ch]++;
	}
}

// what comes out of the device, as it comes
void
read_device()
{
	Notes notes;
	for (;;) {
		union {
			unsigned char raw[4096];
			struct snd_seq_event seq[64];
		} buf;
		ssize_t n = read(dev, &buf, sizeof buf);
		std::int64_t t = now_ns();
		if (n <= 0) {
			if (n < 0 && errno == EINTR)
				continue;
			die("couldn't read the device");
		}
		int ch;
		for (ssize_t i = 0; !seq_end && i < n; i++) {
			int k = notes.take(buf.raw[i], &ch);
			if (k >= 0)
				arrived(ch, k, t);
		}
		for (std::size_t i = 0; seq_end && i < n / sizeof buf.seq[0]; i++) {
			const struct snd_seq_ev_note &e = buf.seq[i].data.note;
			if (buf.seq[i].type == SNDRV_SEQ_EVENT_NOTEON && e.velocity > 0)
				arrived(e.channel, e.note | (e.velocity - 1) << 7, t);
		}
	}
}

// what came out of the bridge's capture port: notes and their frames
struct Capture {
	Notes notes;
	std::size_t scanned = 0;
	long not_one = 0, wrong = 0;	// notes never written, or twice
	std::vector<std::int64_t> frame = std::vector<std::int64_t>(CHANNELS * MAX_NOTES, -1);
	int n[CHANNELS] = {};

	void scan()
	{
		std::size_t e = n_events.load(std::memory_order_acquire);
		for (; scanned < e; scanned++) {
			const Event &ev = events[scanned];
			const unsigned char *p = &event_bytes[ev.pos];
			not_one += !one_message(p, ev.size);
			int ch;
			for (std::uint32_t i = 0; i < ev.size; i++) {
				int k = notes.take(p[i], &ch);
				if (k < 0 || ch >= CHANNELS)
					continue;
				std::int64_t &f = frame[ch * MAX_NOTES + k];
				if (f >= 0 || written[ch * MAX_NOTES + k] == 0)
					wrong++;
				else
					f = ev.frame, n[ch]++;
			}
		}
	}
} capture;

// Waits for count() to reach want: until 3 s have brought nothing more,
// or 30 s in all.
template <typename F>
int
wait_for(F count, int want)
{
	int seen = count();
	for (std::int64_t start = now_ns(), last = start; seen < want; sleep_ms(20)) {
		int now = count();
		std::int64_t t = now_ns();
		if (now > seen)
			seen = now, last = t;
		if (t - last > 3000000000LL || t - start > 30000000000LL)
			break;
	}
	return seen;
}

// latency in periods of the notes of a channel that came, and how many
std::string
figures(const char *name, int ch, int sent, bool back)
{
	std::vector<double> lat;
	for (int k = 0; k < sent; k++) {
		std::size_t i = ch * MAX_NOTES + k;
		if (back && came[i] != 0 && back_frame[k] >= 0)
			lat.push_back((frame_at(came[i]) - back_frame[k]) / frames_per_period);
		else if (!back && capture.frame[i] >= 0)
			lat.push_back((capture.frame[i] - frame_at(written[i])) / frames_per_period);
	}
	// the first few that did not come, for a look at why
	for (int k = 0, shown = 0; k < sent && shown < 10; k++) {
		std::size_t i = ch * MAX_NOTES + k;
		if (back ? came[i] == 0 : capture.frame[i] < 0)
			std::fprintf(stderr, "%s: note %d of %d did not come%s\n", name, k, sent,
			    ++shown == 10 ? ", nor others" : "");
	}
	char out[160];
	std::snprintf(out, sizeof out, " %s_n=%zu/%d %s_p50=%.2f %s_p99=%.2f %s_max=%.2f",
	    name, lat.size(), sent, name, percentile(lat, 0.5), name, percentile(lat, 0.99),
	    name, lat.empty() ? 0 : *std::max_element(lat.begin(), lat.end()));
	return out;
}

// gaps between played notes: 3 to 9 ms, any phase of the cycle
std::vector<std::int64_t>
played_gaps()
{
	std::mt19937 rng(7);
	std::vector<std::int64_t> gaps(PLAYED);
	for (auto &g : gaps)
		g = 3000000 + rng() % 6000000;
	return gaps;
}

// the way into JACK: notes into the device, each when due
std::string
forward(pid_t bridge, pid_t jackd)
{
	auto count = [](int ch) { return [ch] { capture.scan(); return capture.n[ch]; }; };
	// the first note may find the way not yet open
	for (int k = 0; capture.n[PROBE] == 0; k++) {
		if (k == 50)
			die("no note came through the bridge in 10 s");
		send_notes(PROBE, k, 1);
		wait_for(count(PROBE), 1);
	}
	std::string out;
	Cpu idle(bridge, jackd);
	sleep_ms(5000);
	out += idle.figures("cpu_idle");

	std::int64_t t = now_ns();
	std::vector<std::int64_t> gaps = played_gaps();
	for (int k = 0; k < PLAYED; k++) {
		sleep_until(t += gaps[k]);
		send_notes(CH_PLAYED, k, 1);
	}
	wait_for(count(CH_PLAYED), PLAYED);
	out += figures("played", CH_PLAYED, PLAYED, false);

	Cpu busy(bridge, jackd);
	t = now_ns();
	for (int k = 0; k < PACED; k++) {
		sleep_until(t += 2000000);
		send_notes(CH_PACED, k, 1);
	}
	out += busy.figures("cpu_paced");
	wait_for(count(CH_PACED), PACED);
	out += figures("paced", CH_PACED, PACED, false);

	send_notes(CH_BURST, 0, BURST);
	wait_for(count(CH_BURST), BURST);
	out += figures("burst", CH_BURST, BURST, false);
	out += " events=" + std::to_string(capture.scanned) + " not_one=" +
	    std::to_string(capture.not_one) + " wrong=" + std::to_string(capture.wrong);
	return out;
}

// n notes of channel ch written into the playback port at the frames in
// at, after the first cycle that takes them up
void
play_back(int ch, const std::vector<std::int64_t> &at)
{
	int n = static_cast<int>(at.size());
	for (int k = 0; k < n; k++) {
		back_at[k] = at[k];
		back_frame[k] = -1;
		note(&back_msg[3 * k], ch, k);
	}
	back_n = n;
	back_next = 0;
	back_base = -1;
	back_state.store(ARMED, std::memory_order_release);
	while (back_state.load(std::memory_order_acquire) != DONE)
		sleep_ms(10);
}

// the way back: notes written into the bridge's playback port, read from
// the device
std::string
backward()
{
	auto count = [](int ch) { return [ch] { return came_n[ch].load(); }; };
	for (int k = 0; came_n[PROBE] == 0; k++) {
		if (k == 50)
			die("no note came back through the bridge in 10 s");
		play_back(PROBE, {0});
		wait_for(count(PROBE), 1);
	}
	double rate = jack_get_sample_rate(client);
	std::vector<std::int64_t> at(PLAYED);
	std::int64_t f = 0;
	std::vector<std::int64_t> gaps = played_gaps();
	for (int k = 0; k < PLAYED; k++)
		at[k] = f += static_cast<std::int64_t>(gaps[k] * rate / 1e9);
	play_back(CH_PLAYED, at);
	wait_for(count(CH_PLAYED), PLAYED);
	std::string out = figures("back_played", CH_PLAYED, PLAYED, true);

	at.resize(PACED);
	for (int k = 0; k < PACED; k++)
		at[k] = static_cast<std::int64_t>(k * rate / 500);
	play_back(CH_PACED, at);
	wait_for(count(CH_PACED), PACED);
	out += figures("back_paced", CH_PACED, PACED, true);

	play_back(CH_BURST, std::vector<std::int64_t>(BURST, 0));
	wait_for(count(CH_BURST), BURST);
	return out + figures("back_burst", CH_BURST, BURST, true);
}

// the first port other than ours with flags whose name or alias
// matches, waiting for it as long as tries tenths of a second
std::string
find_port(const std::regex &re, unsigned long flags, int tries)
{
	std::vector<char> a(2 * jack_port_name_size());
	char *aliases[2] = {&a[0], &a[a.size() / 2]};
	for (; tries > 0; tries--, sleep_ms(100)) {
		const char **ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
		std::string found;
		for (int i = 0; ports != nullptr && ports[i] != nullptr && found.empty(); i++) {
			jack_port_t *p = jack_port_by_name(client, ports[i]);
			int n = p == nullptr ? 0 : jack_port_get_aliases(p, aliases);
			bool ours = jack_port_is_mine(client, p);
			for (int j = -1; j < n && !ours && found.empty(); j++)
				if (std::regex_search(j < 0 ? ports[i] : aliases[j], re))
					found = ports[i];
		}
		jack_free(ports);
		if (!found.empty())
			return found;
	}
	return "";
}

void
connect(const std::string &from, const std::string &to, bool on)
{
	if ((on ? jack_connect : jack_disconnect)(client, from.c_str(), to.c_str()) != 0)
		die("couldn't " + std::string(on ? "connect " : "disconnect ") + from + " and " + to);
}

void
open_client()
{
	client = jack_client_open("peers", JackNoStartServer, nullptr);
	if (client == nullptr)
		die("couldn't open jack client");
	jack_set_process_callback(client, process, nullptr);
	in_port = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
	out_port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
	if (in_port == nullptr || out_port == nullptr || jack_activate(client) != 0)
		die("couldn't start the jack client");
	frames_per_period = jack_get_buffer_size(client);
}

// all but one of midiC0D0's 16 substreams each way, until killed
[[noreturn]] void
hold()
{
	for (int i = 0; i < 15; i++)
		if (open(DEVICE, O_RDWR | O_NONBLOCK | O_CLOEXEC) < 0)
			die(std::string("couldn't hold ") + DEVICE + ": " + std::strerror(errno));
	std::printf("held\n");
	std::fflush(stdout);
	for (;;)
		pause();
}

} // namespace

int
main(int argc, char **argv)
{
	std::string mode = argc > 1 ? argv[1] : "";
	if (mode == "hold")
		hold();
	if (mode == "idle" && argc == 3) {
		open_client();
		Cpu idle(0, std::atoi(argv[2]));
		sleep_ms(5000);
		std::printf("%s\n", idle.figures("cpu_idle").c_str() + 1);
		jack_client_close(client);
		return 0;
	}
	if (mode != "measure" || argc != 6)
		die("usage: peers hold | idle JACKD_PID | measure raw|seq PORTS BRIDGE_PID JACKD_PID");
	seq_end = std::string(argv[2]) == "raw";
	std::regex ports(argv[3], std::regex::extended);
	pid_t bridge = std::atoi(argv[4]), jackd = std::atoi(argv[5]);

	if (seq_end)
		open_seq();
	else
		open_raw();
	std::thread(read_device).detach();
	open_client();
	// a bridge's playback port, if any, comes with its capture port
	std::string capture_port = find_port(ports, JackPortIsOutput, 300);
	std::string playback_port = find_port(ports, JackPortIsInput, 10);
	if (capture_port.empty())
		die(std::string("no capture port matches ") + argv[3]);
	std::string mine_in = jack_port_name(in_port), mine_out = jack_port_name(out_port);

	connect(capture_port, mine_in, true);
	std::string out = forward(bridge, jackd);
	connect(capture_port, mine_in, false);
	if (playback_port.empty()) {
		out += " back=none";
	} else {
		connect(mine_out, playback_port, true);
		out += backward();
		connect(mine_out, playback_port, false);
	}
	// cycles that came over half a period late: the server's trouble
	std::size_t n = n_cycles, late = 0;
	double period_ns = frames_per_period / jack_get_sample_rate(client) * 1e9;
	for (std::size_t i = 1; i < n; i++)
		late += cycles[i].ns - cycles[i - 1].ns > 1.5 * period_ns;
	std::printf("%s cycles=%zu late=%zu\n", out.c_str() + 1, n, late);
	std::fflush(stdout);
	jack_client_close(client);
	// the reader is still in read(2)
	_exit(0);
}

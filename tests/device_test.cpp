// The real quarvell binary reading a MIDI device, as it reads a keyboard:
// snd-virmidi's card 0 in a real Linux kernel (tests/kernel.sh), between a
// private JACK server.  The kernel's sequencer carries what the tests
// write into the card's second device (rmidi/0,1) to its first (rmidi/0),
// which quarvell reads through libsndio and ALSA.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <sound/asequencer.h>

#include <random>
#include <thread>

#include "harness.h"

using namespace qt;

// alsa-lib keeps 40 bytes for its messages when a process opens devices
// again, as this one does; LeakSanitizer would blame the test for them
extern "C" const char *
__lsan_default_suppressions()
{
	return "leak:snd_output_stdio_attach\n";
}

namespace {

const char SERVER[] = "qv_device";
const char PORT[] = "quarvell:midi_out";
const char DEVICE[] = "rmidi/0";	// midiC0D0, read by quarvell
const char INPUT[] = "rmidi/0,1";	// midiC0D1, written by the tests
const Env ENV = jack_env(SERVER);
const std::string DRIVER = "/sys/bus/platform/drivers/snd_virmidi/";

// the sequencer client of card 0's raw MIDI device dev, or -1
int
seq_client(int dev)
{
	std::istringstream in(read_file("/proc/asound/seq/clients"));
	std::string name = "\"Virtual Raw MIDI 0-" + std::to_string(dev) + "\"";
	for (std::string line; std::getline(in, line);)
		if (line.rfind("Client ", 0) == 0 && line.find(name) != std::string::npos)
			return std::stoi(line.substr(7));
	return -1;
}

// What is written into device from comes out of device to, as aconnect
// 17:0 16:0 would have it; the connection lasts until the card goes.
bool
route(int from_dev, int to_dev)
{
	struct snd_seq_port_subscribe sub {};
	int from = seq_client(from_dev), to = seq_client(to_dev);
	int fd = open("/dev/snd/seq", O_RDWR | O_CLOEXEC);
	sub.sender.client = static_cast<unsigned char>(from);
	sub.dest.client = static_cast<unsigned char>(to);
	bool done = fd >= 0 && from >= 0 && to >= 0 &&
	    (ioctl(fd, SNDRV_SEQ_IOCTL_SUBSCRIBE_PORT, &sub) == 0 || errno == EBUSY);
	if (fd >= 0)
		close(fd);
	return done;
}

// plugs card 0 in ("bind") or pulls it out ("unbind"); an unbind returns
// once the last program that holds the card has let go of it
bool
plug(const std::string &how)
{
	std::ofstream f(DRIVER + how);
	f << "snd_virmidi.0" << std::flush;
	return f.good();
}

bool
plugged_in()
{
	return access((DRIVER + "snd_virmidi.0").c_str(), F_OK) == 0 &&
	    access("/dev/snd/midiC0D0", F_OK) == 0 && seq_client(1) >= 0;
}

class Device : public ::testing::Test {
    public:
	static inline Server jackd;
	static inline bool up;
	Graph graph;

	static void SetUpTestSuite()
	{
		if (std::getenv("QT_MACHINE") != nullptr)
			up = start_jack(jackd, SERVER);
	}

	static void TearDownTestSuite() { jackd.stop(); }

	void SetUp() override
	{
		if (std::getenv("QT_MACHINE") == nullptr)
			GTEST_SKIP() << "pulls sound cards out: runs only under tests/kernel.sh";
		ASSERT_TRUE(up) << "the suite's JACK server did not start";
		if (!plugged_in())
			plug("bind");
		ASSERT_TRUE(eventually(plugged_in)) << read_file("/proc/asound/cards");
		// device 1 into device 0, which quarvell reads, and back
		ASSERT_TRUE(route(1, 0) && route(0, 1)) << read_file("/proc/asound/seq/clients");
		ASSERT_TRUE(graph.open(SERVER));
	}

	// quarvell reading the device, and a monitor on its port that w,
	// into the card's second device, feeds
	testing::AssertionResult start(Proc &q, Monitor &mon, Writer &w, const Env &env = ENV,
	    bool both = false)
	{
		std::vector<std::string> args = {"-p", DEVICE};
		if (both)
			args.insert(args.begin(), "-o");
		testing::AssertionResult bridge = start_bridge(q, graph, env, args);
		return bridge ? mon.start(SERVER, PORT, w, INPUT) : bridge;
	}

	// what is written into the device comes out of quarvell as want
	void expect_through(const Bytes &written, const std::vector<Bytes> &want)
	{
		Proc q;
		Monitor mon;
		Writer w;
		ASSERT_TRUE(start(q, mon, w));
		ASSERT_TRUE(w.write(written));
		mon.wait_events(want.size(), 30);
		EXPECT_EQ(mon.dropped(), 0u);
		EXPECT_EQ(diff(mon.events, want, server_loses_cycles()), "");
		ASSERT_TRUE(ends_well(q));
	}
};

TEST_F(Device, EveryKindOfMessageArrivesWhole)
{
	// each channel message, with running status, system common, a clock
	// inside a note, active sensing inside a SysEx and alone
	const std::vector<Bytes> want = {{0x90, 0x3c, 0x64}, {0x90, 0x3e, 0x64},
	    {0x80, 0x3c, 0x00}, {0xa0, 0x3c, 0x20}, {0xb0, 0x07, 0x64}, {0xc0, 0x05},
	    {0xc0, 0x06}, {0xd0, 0x30}, {0xe0, 0x00, 0x40}, {0xf1, 0x10}, {0xf2, 0x01, 0x02},
	    {0xf3, 0x03}, {0xf6}, {0xf8}, {0x90, 0x40, 0x64}, {0xfe},
	    {0xf0, 0x7e, 0x7f, 0x06, 0x01, 0xf7}, {0xfe}};
	expect_through({0x90, 0x3c, 0x64, 0x3e, 0x64, 0x80, 0x3c, 0x00, 0xa0, 0x3c, 0x20,
	    0xb0, 0x07, 0x64, 0xc0, 0x05, 0x06, 0xd0, 0x30, 0xe0, 0x00, 0x40, 0xf1, 0x10,
	    0xf2, 0x01, 0x02, 0xf3, 0x03, 0xf6, 0x90, 0x40, 0xf8, 0x64,
	    0xf0, 0x7e, 0xfe, 0x7f, 0x06, 0x01, 0xf7, 0xfe}, want);
}

TEST_F(Device, PatchDumpArrivesWholeInPieces)
{
	// 16 KB, four times the kernel's buffer, from one writer: a SysEx
	// split over two opens of a device loses its tail in the kernel
	std::mt19937 rng(3);
	Bytes dump = {0xf0, 0x43, 0x00, 0x09, 0x20, 0x00};
	while (dump.size() < (16 << 10) - 1)
		dump.push_back(static_cast<unsigned char>(rng() % 128));
	dump.push_back(0xf7);
	std::vector<Bytes> want;
	for (std::size_t i = 0; i < dump.size(); i += 256)
		want.emplace_back(dump.begin() + i, dump.begin() + std::min(dump.size(), i + 256));
	expect_through(dump, want);
}

// What a JACK client plays into quarvell -o comes out of the card's second
// device, while what is written there comes out of midi_out: both at once.
TEST_F(Device, BothWaysAtOnce)
{
	Proc q;
	Monitor mon;
	Writer w;
	Reader r;
	Player pl;
	ASSERT_TRUE(start(q, mon, w, ENV, true));
	ASSERT_TRUE(r.open(INPUT));
	ASSERT_TRUE(pl.start(SERVER, "quarvell:midi_in", r));

	std::vector<Bytes> in, back = {{0x90, 0x3c, 0x64}, {0xb0, 0x07, 0x64}, {0xc0, 0x05},
	    {0xe0, 0x00, 0x40}, {0xf2, 0x01, 0x02}, {0xf6}, {0xf8}, {0xfe}, {0x80, 0x3c, 0x00}};
	std::mt19937 rng(6);
	Bytes dump = {0xf0, 0x43, 0x00};
	while (dump.size() < (16 << 10) - 1)
		dump.push_back(static_cast<unsigned char>(rng() % 128));
	dump.push_back(0xf7);
	for (std::size_t i = 0; i < dump.size(); i += 256)
		back.emplace_back(dump.begin() + i, dump.begin() + std::min(dump.size(), i + 256));
	Bytes notes;
	std::size_t size = 0;
	for (int i = 0; i < 300; i++) {
		Bytes note = {0x91, static_cast<unsigned char>(i % 128), 1};
		notes.insert(notes.end(), note.begin(), note.end());
		in.push_back(note);
	}
	for (auto &e : back)
		size += e.size();
	pl.play(back);
	ASSERT_TRUE(w.write(notes, 30, 10000));
	mon.wait_events(in.size(), 30);
	r.wait_bytes(size, server_loses_cycles() ? 10 : 30);
	EXPECT_EQ(diff(mon.events, in, server_loses_cycles()), "");
	// byte for byte, as no two messages in a row share a status for the
	// sequencer to make running status of
	EXPECT_EQ(diff_played(r.bytes(), back, server_loses_cycles()), "");
	ASSERT_TRUE(ends_well(q));
}

// The card pulled out while MIDI flows, into quarvell and, with -o, out
// of it too: quarvell goes on, with empty cycles, and lets go of the card
// at its stop; of its own it says only what it dropped.
void
pull_out_while_midi_flows(Device &t, Graph &graph, bool both)
{
	Proc q;
	Monitor mon;
	Writer w;
	Reader r;
	Player pl;
	std::string log = in_build("device-gone.log");
	ASSERT_TRUE(t.start(q, mon, w, faults(ENV, log), both));
	if (both) {
		ASSERT_TRUE(r.open(INPUT));
		ASSERT_TRUE(pl.start(SERVER, "quarvell:midi_in", r));
		pl.per_cycle = 3;	// a note a cycle, for some seconds
		pl.play(std::vector<Bytes>(5000, {0x92, 0x40, 0x00}));
	}

	// notes until the card goes, when the writes fail and w lets go
	std::thread notes([&] {
		w.strict = false;
		for (unsigned char n = 0; w.write({0x90, static_cast<unsigned char>(n % 128), 64});
		    n++)
			sleep_ms(5);
		mio_close(w.h);
		w.h = nullptr;
	});
	EXPECT_TRUE(mon.wait_events(10, 10)) << "no MIDI flowed";
	EXPECT_TRUE(!both || r.wait_bytes(30, 10)) << "no MIDI flowed back";
	std::atomic<bool> unbound{false};
	std::thread pull([&] { plug("unbind"); unbound = true; });

	// quarvell finds it gone and goes on, with empty cycles
	EXPECT_TRUE(logged(log, "mio_read eof"));
	notes.join();
	sleep_ms(500);
	EXPECT_TRUE(q.running()) << q.status << q.err;
	EXPECT_TRUE(graph.has_port(PORT));
	std::size_t seen = (mon.update(), mon.events.size());
	sleep_ms(500);
	EXPECT_EQ((mon.update(), mon.events.size()), seen);

	// it ends in order, and lets go of the card
	q.signal(SIGTERM);
	ASSERT_TRUE(stops(q));
	EXPECT_TRUE(q.exited_with(0)) << q.status << q.err;
	std::istringstream lines(own(q));
	for (std::string line; std::getline(lines, line);)
		EXPECT_EQ(line.substr(line.find(" events")),
		    " events from midi_in: the sndio port is gone");
	EXPECT_TRUE(eventually([&] { return unbound.load(); }))
	    << "the card is still held after quarvell ended";
	pull.join();
	EXPECT_TRUE(graph.gone("quarvell"));
}

TEST_F(Device, PulledOutWhileMidiFlows)
{
	pull_out_while_midi_flows(*this, graph, false);
}

TEST_F(Device, PulledOutWhileMidiFlowsBothWays)
{
	pull_out_while_midi_flows(*this, graph, true);
}

TEST_F(Device, AbsentOrBusyAtStart)
{
	// no card 7; and card 0's first device held by others: each of its
	// 16 inputs, where a keyboard's has one; its outputs held, quarvell -o
	// cannot have it both ways, as with a keyboard that has no MIDI out
	auto hold = [](int how) {
		std::vector<int> held;
		for (int fd; held.size() < 64 &&
		    (fd = open("/dev/snd/midiC0D0", how | O_NONBLOCK | O_CLOEXEC)) >= 0;)
			held.push_back(fd);
		EXPECT_EQ(errno, EBUSY) << "after " << held.size() << " opens";
		return held;
	};
	std::vector<int> held = hold(O_WRONLY);
	{
		Proc q;
		start_quarvell(q, ENV, {"-o", "-p", DEVICE});
		ASSERT_TRUE(q.wait(10));
		EXPECT_TRUE(q.exited_with(1)) << q.status;
		EXPECT_EQ(own(q), "couldn't open sndio port: " + std::string(DEVICE) + "\n") << q.err;
	}
	std::vector<int> inputs = hold(O_RDONLY);
	held.insert(held.end(), inputs.begin(), inputs.end());
	for (std::string port : {"rmidi/7", DEVICE}) {
		SCOPED_TRACE(port);
		Proc q;
		start_quarvell(q, ENV, {"-p", port});
		ASSERT_TRUE(q.wait(10));
		EXPECT_TRUE(q.exited_with(1)) << q.status;
		EXPECT_EQ(own(q), "couldn't open sndio port: " + port + "\n") << q.err;
	}
	for (int fd : held)
		close(fd);
	EXPECT_FALSE(graph.ever_registered("quarvell"));
}

} // namespace

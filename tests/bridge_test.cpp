// The real quarvell binary between a private jackd and a private sndiod.
#include <gtest/gtest.h>

#include <signal.h>

#include <iostream>
#include <random>

#include "harness.h"

using namespace qt;

namespace {

const char SERVER[] = "qv_bridge";
constexpr int UNIT = 11;
const char PORT[] = "quarvell:midi_out";

// what the fault library logs of a run that got as far as a JACK client
const std::string OPENED = "mio_open default\njack_client_open quarvell\n";
const std::string ACQUIRED_AND_RELEASED = OPENED + "jack_client_close\nmio_close\n";
const std::string ACTIVE_AND_RELEASED = OPENED + "jack_activate\njack_client_close\nmio_close\n";

using Bridge = ServerSuite<SERVER, UNIT>;
const Env ENV = bridge_env(SERVER, UNIT);

TEST_F(Bridge, ForwardsEveryMessageWholeAtOffsetZero)
{
	Proc q;
	Monitor mon;
	Writer w;
	ASSERT_TRUE(start_bridge(q, graph, ENV));
	ASSERT_TRUE(mon.start(SERVER, PORT, w, UNIT));

	// a short phrase, then tens of KB: notes, controllers, long SysEx,
	// real-time bytes
	std::vector<Bytes> want = {{0x90, 60, 100}, {0xb0, 7, 90}, {0x80, 60, 0}};
	ASSERT_TRUE(w.write({0x90, 60, 100, 0xb0, 7, 90, 0x80, 60, 0}));
	ASSERT_TRUE(w.write(midi_stream(40000, 1, &want)));

	// 2 KB of notes at once fill jack1's port buffer, of 2 KB, for some
	// cycles; then idle cycles add nothing: the next event is the next
	// one written, a controller the stream has not
	Bytes burst, end = {0xb0, 120, 0};
	for (int i = 0; i < 700; i++) {
		Bytes note = {0x90, static_cast<unsigned char>(i % 128), 64};
		burst.insert(burst.end(), note.begin(), note.end());
		want.push_back(note);
	}
	ASSERT_TRUE(w.write(burst, burst.size(), 0));
	sleep_ms(100);
	EXPECT_TRUE(mon.send(w, end, &want));
	EXPECT_EQ(discards(), "");
	EXPECT_EQ(mon.dropped(), 0u);
	EXPECT_EQ(diff(mon.events, want, server_loses_cycles()), "");
	for (auto &e : mon.events)
		EXPECT_EQ(e.offset, 0u);

	ASSERT_TRUE(ends_well(q));
	EXPECT_TRUE(graph.gone("quarvell"));
}

// A consumer nobody here wrote: Debian's jack_midi_dump aborts on a note
// event that is not 3 bytes long.
TEST_F(Bridge, JackMidiDumpReadsEveryNote)
{
	Proc q, dump;
	Writer w;
	ASSERT_TRUE(start_bridge(q, graph, ENV));
	ASSERT_TRUE(w.open(UNIT));
	dump.start({"stdbuf", "-oL", "jack_midi_dump", "dump"}, ENV);
	// JACK connects only the ports of active clients
	ASSERT_TRUE(eventually([&] { return jack_connect(graph.c, PORT, "dump:input") == 0; }))
	    << dump.err;
	auto count = [&](const char *what) {
		dump.collect();
		return occurrences(dump.out, what);
	};
	// a controller, written until it comes through: at first, to know
	// that the link carries data; at the end, as PipeWire may lose it
	auto through = [&](const Bytes &cc, const char *what) {
		return eventually([&] { return w.write(cc) && eventually([&] {
			return count(what) > 0; }, 0.2); }, 20);
	};
	ASSERT_TRUE(through({0xbf, 0x66, 0}, "control change")) << dump.err;

	// ten notes at a time, so that one read brings several, and slowly
	// enough that jack_midi_dump's own ring buffer holds them while its
	// printing thread waits for a core
	Bytes notes;
	for (int i = 0; i < 400; i++)
		notes.insert(notes.end(), {0x90, static_cast<unsigned char>(i % 128),
		    static_cast<unsigned char>(1 + i % 127)});
	ASSERT_TRUE(w.write(notes, 30, 20000));
	EXPECT_TRUE(through({0xb0, 120, 0}, "controller 120")) << dump.err;
	EXPECT_EQ(dump.err.find("ringbuffer was full"), std::string::npos)
	    << "jack_midi_dump's printing thread fell behind";
	if (server_loses_cycles())
		std::cout << server_kind() << " lost " << 400 - count("note on") << " of 400 notes\n";
	else
		EXPECT_EQ(count("note on"), 400u) << dump.err;
	EXPECT_TRUE(dump.running()) << dump.status << dump.err;
	ASSERT_TRUE(ends_well(q));
	EXPECT_TRUE(graph.gone("quarvell"));
	// it exits without closing its client, which stalls jack2 for some
	// seconds: wait until a client gets in again
	dump.signal(SIGTERM);
	EXPECT_TRUE(dump.wait(5));
	EXPECT_FALSE(dump.killed_by(SIGABRT)) << dump.err;
	graph.settle();
}

TEST_F(Bridge, EachSignalReleasesOnceInOrder)
{
	// The raise in jack_client_close puts both signals into the release.
	// The one just before the idle loop's first poll must wake that poll
	// at once, through the pipe, not by its timeout.
	const std::vector<std::pair<std::vector<int>, const char *>> cases = {
	    {{SIGINT}, ""}, {{SIGTERM}, ""}, {{SIGINT, SIGTERM}, ""},
	    {{SIGTERM}, "close"}, {{}, "poll"}};
	for (auto &[sigs, raise_at] : cases) {
		SCOPED_TRACE(testing::Message() << "signals " << sigs.size()
		    << " raise " << raise_at);
		Proc q;
		std::string log = in_build("signal.log");
		Env env = faults(ENV, log, {{"QF_RAISE", raise_at}});
		if (sigs.empty())
			start_quarvell(q, env);			// it stops itself
		else
			ASSERT_TRUE(start_bridge(q, graph, env));
		ASSERT_TRUE(ends_well(q, sigs));
		EXPECT_TRUE(graph.gone("quarvell"));
		EXPECT_EQ(read_file(log), std::string(raise_at) == "poll" ?
		    OPENED + "jack_activate\npoll woken\njack_client_close\nmio_close\n" :
		    ACTIVE_AND_RELEASED);
	}
}

TEST_F(Bridge, FailedActivationReleasesWhatItHolds)
{
	// also with both signals arriving during the failure
	for (const char *raise_at : {"", "activate"}) {
		SCOPED_TRACE(raise_at);
		Proc q;
		std::string log = in_build("activate.log");
		start_quarvell(q, faults(ENV, log,
		    {{"QF_FAIL_ACTIVATE", "1"}, {"QF_RAISE", raise_at}}));
		ASSERT_TRUE(stops(q));
		EXPECT_TRUE(q.exited_with(1)) << q.status;
		EXPECT_EQ(own(q), "couldn't activate jack client\n") << q.err;
		EXPECT_EQ(q.out, "");
		EXPECT_EQ(read_file(log), ACQUIRED_AND_RELEASED);
		EXPECT_TRUE(graph.gone("quarvell"));
	}
}

TEST_F(Bridge, BadSndioPortNeverShowsAClient)
{
	Proc q;
	start_quarvell(q, bridge_env(SERVER, 15));	// no sndiod there
	ASSERT_TRUE(q.wait(10));
	EXPECT_TRUE(q.exited_with(1)) << q.status;
	EXPECT_EQ(own(q), "couldn't open sndio port: default\n") << q.err;
	EXPECT_EQ(q.out, "");
	EXPECT_FALSE(graph.ever_registered("quarvell"));
}

// The way back, with -o: a JACK client plays into midi_in, and a reader
// of sndiod's thru port gets it.
const char BACK[] = "quarvell:midi_in";

Bytes
joined(const std::vector<Bytes> &events)
{
	Bytes b;
	for (auto &e : events)
		b.insert(b.end(), e.begin(), e.end());
	return b;
}

TEST_F(Bridge, PlaysBackByteExactAndSilencesWhatSoundsAtStop)
{
	Proc q;
	Reader r;
	Player pl;
	ASSERT_TRUE(start_bridge(q, graph, ENV, {"-o"}));
	ASSERT_TRUE(r.open(thru_port(UNIT)));
	ASSERT_TRUE(pl.start(SERVER, BACK, r));

	// every kind of message but those sndiod keeps to itself (tune
	// request, active sensing), a 64 KB dump in pieces, then notes held
	std::vector<Bytes> events = {{0x90, 60, 100}, {0x80, 60, 0}, {0xa1, 60, 20},
	    {0xb2, 7, 100}, {0xc3, 5}, {0xd4, 48}, {0xe5, 0, 64}, {0xf1, 16}, {0xf2, 1, 2},
	    {0xf3, 3}, {0xf8}, {0xfa}, {0xfb}, {0xfc}, {0xf0, 0x7e, 0x7f, 6, 1, 0xf7}};
	std::mt19937 rng(4);
	Bytes dump = {0xf0, 0x43, 0, 9, 0x20, 0};
	while (dump.size() < (64 << 10) - 1)
		dump.push_back(static_cast<unsigned char>(rng() % 128));
	dump.push_back(0xf7);
	for (std::size_t i = 0; i < dump.size(); i += 256)
		events.emplace_back(dump.begin() + i, dump.begin() + std::min(dump.size(), i + 256));
	events.insert(events.end(), {{0x90, 60, 100}, {0x90, 64, 100}, {0x99, 36, 127},
	    {0x80, 64, 0}, {0xb2, 64, 127}});
	pl.play(events);
	std::size_t missing = 0;
	r.wait_bytes(joined(events).size(), server_loses_cycles() ? 10 : 30);
	EXPECT_EQ(diff_played(r.bytes(), events, server_loses_cycles(), &missing), "");
	EXPECT_EQ(discards(), "");

	r.clear();
	ASSERT_TRUE(ends_well(q));
	r.wait_bytes(9, 10);
	if (missing == 0)
		EXPECT_EQ(hex(r.bytes()), hex({0x80, 60, 0x40, 0xb2, 64, 0, 0x89, 36, 0x40}));
	else
		std::cout << server_kind() << " lost " << missing << " events\n";
}

TEST_F(Bridge, FloodOfASlowPortArrivesAsWholeMessagesAndIsCounted)
{
	// a port as slow as a DIN one: 200 KB, of SysEx and controllers each
	// with its number, overflow the queue
	Proc q;
	Reader r;
	Player pl;
	ASSERT_TRUE(start_bridge(q, graph, faults(ENV, in_build("flood.log"),
	    {{"QF_WRITE_RATE", "3125"}}), {"-o"}));
	ASSERT_TRUE(r.open(thru_port(UNIT)));
	ASSERT_TRUE(pl.start(SERVER, BACK, r));
	std::vector<Bytes> flood;
	for (int i = 0; i < 1600; i++) {
		auto lo = static_cast<unsigned char>(i & 127), hi = static_cast<unsigned char>(i >> 7);
		Bytes sysex(256, lo);
		sysex.front() = 0xf0;
		sysex[1] = hi;
		sysex.back() = 0xf7;
		flood.push_back(i % 2 ? Bytes{static_cast<unsigned char>(0xa0 | hi), lo, 1} : sysex);
	}
	pl.per_cycle = 1024;
	pl.play(flood);
	EXPECT_TRUE(eventually([&] { return own(q).find("dropped") != std::string::npos; }, 20))
	    << "nothing dropped; a write that blocks holds the graph instead";
	q.signal(SIGTERM);
	ASSERT_TRUE(stops(q));
	EXPECT_TRUE(q.exited_with(0)) << q.status << q.err;
	sleep_ms(200);

	// whole events, in order, and each one either came or was counted
	std::istringstream lines(own(q));
	std::size_t dropped = 0, missing = 0;
	for (std::string line; std::getline(lines, line);) {
		std::size_t n = line.rfind("dropped ", 0) == 0 ? std::stoul(line.substr(8)) : 0;
		EXPECT_EQ(line, "dropped " + std::to_string(n) +
		    " events from midi_in: the sndio port is too slow");
		dropped += n;
	}
	EXPECT_EQ(diff_played(r.bytes(), flood, true, &missing), "");
	EXPECT_LT(missing, flood.size());
	if (!server_loses_cycles()) {
		EXPECT_EQ(missing, dropped);
	}
	EXPECT_EQ(discards(), "");
}

TEST_F(Bridge, NoJackServerClosesTheSndioPort)
{
	Proc q;
	std::string log = in_build("noserver.log");
	start_quarvell(q, faults(bridge_env("qv_nobody", UNIT), log));
	ASSERT_TRUE(q.wait(20));
	EXPECT_TRUE(q.exited_with(1)) << q.status;
	// libjack says why before our line, and its lines are not ours
	EXPECT_EQ(own(q), "couldn't open jack client\n") << q.err;
	EXPECT_TRUE(ends_with(q.err, own(q))) << q.err;
	if (server_kind() != "pipewire") {
		EXPECT_NE(q.err, own(q)) << "libjack said nothing: its lines were not told apart";
	}
	EXPECT_EQ(q.out, "");
	EXPECT_EQ(read_file(log), OPENED + "mio_close\n");
}

// A server with room for no more ports, and servers that go away.
TEST(Servers, NoRoomForThePort)
{
	// jackd's -p counts the ports of all clients: jack2's probe takes one
	// that jack1's does not
	if (server_kind() == "pipewire")
		GTEST_SKIP() << "PipeWire sets no limit on ports";
	Server jackd, sndiod;
	Graph graph;
	ASSERT_TRUE(start_jack(jackd, "qv_full", {"-p", server_kind() == "jack1" ? "2" : "3"},
	    {"-C", "1", "-P", "1"}));
	ASSERT_TRUE(start_sndiod(sndiod, 12));
	ASSERT_TRUE(graph.open("qv_full"));

	Proc q;
	std::string log = in_build("noroom.log");
	start_quarvell(q, faults(bridge_env("qv_full", 12), log));
	ASSERT_TRUE(stops(q));
	EXPECT_TRUE(q.exited_with(1)) << q.status;
	EXPECT_EQ(own(q), "couldn't register jack output port\n") << q.err;
	EXPECT_EQ(q.out, "");
	EXPECT_EQ(read_file(log), ACQUIRED_AND_RELEASED);
	EXPECT_TRUE(graph.gone("quarvell"));
}

TEST(Servers, BridgeIdlesWhenBothServersGoAway)
{
	// the JACK server stops, or is killed
	for (bool kill : {false, true}) {
		SCOPED_TRACE(kill ? "killed" : "stopped");
		if (kill && !private_namespace()) {
			std::cout << "not killing a JACK server outside a private namespace\n";
			continue;
		}
		OwnServers s;
		Proc q;
		std::string log = in_build("gone.log");
		ASSERT_TRUE(s.start("qv_gone", 13, q, log)) << q.err;

		Monitor mon;
		Writer w;
		ASSERT_TRUE(mon.start("qv_gone", PORT, w, 13));
		std::vector<Bytes> sent;
		EXPECT_TRUE(mon.send(w, {0x90, 64, 100}, &sent));
		EXPECT_EQ(diff(mon.events, sent, server_loses_cycles()), "");

		// the MIDI side vanishes: once quarvell's read has found it
		// gone, cycles go on, empty
		s.sndiod.kill9();
		EXPECT_TRUE(logged(log, "mio_read eof"));
		EXPECT_TRUE(q.running());
		EXPECT_TRUE(s.graph.has_port(PORT));

		// then the JACK server goes; libjack says when it has seen it,
		// but for PipeWire's, which says nothing
		mon.stop();
		jack_client_close(s.graph.c);
		s.graph.c = nullptr;
		if (kill)
			s.jackd.kill9();
		s.jackd.stop();
		if (server_kind() == "pipewire")
			sleep_ms(1000);
		else
			EXPECT_TRUE(eventually([&] { q.collect(); return !q.err.empty(); }));
		EXPECT_TRUE(q.running()) << q.status;

		ASSERT_TRUE(ends_well(q));
	}
}

} // namespace

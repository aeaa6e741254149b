// A private JACK server for end-to-end tests.
//
// The test starts its own `jackd` on the dummy driver under a unique name,
// points this process at it through JACK_DEFAULT_SERVER, and stops it again by
// the process id it started. It never looks at or stops any other server.
#ifndef ZP_TESTS_JACK_SERVER_H
#define ZP_TESTS_JACK_SERVER_H

#include <sys/types.h>

struct PrivateJack {
    pid_t pid;        // the jackd we started; 0 when none runs
    char name[64];    // its server name
    char log[128];    // where its output goes
};

// Starts jackd under a name made of `prefix`, this process's id and a
// counter, with the given period (frames per cycle, 48 kHz), waits until a
// client can connect (up to 10 s) and sets JACK_DEFAULT_SERVER. Returns false,
// with nothing left running, when the server did not come up. With
// `realtime` the server (and its clients' process threads) ask for real-time
// scheduling, and run without it where that is not permitted: on a busy
// machine clients then miss far fewer cycles, and a client that misses one
// loses the MIDI data of that cycle.
bool private_jack_start(PrivateJack* j, const char* prefix, int period_frames = 256, bool realtime = false);

// Stops the server that `j` started: SIGTERM, then SIGKILL after 5 s. Clears
// JACK_DEFAULT_SERVER if it still names this server. Safe to call twice.
void private_jack_stop(PrivateJack* j);

#endif

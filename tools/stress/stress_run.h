// The stress run: a machine with the SMD driver, VRAX and the modem emulator on port 0;
// programs (processes using the Win32 subset on \\.\VRAX) and kernel clients (registrations
// through VRAX's driver-to-driver interface, reached with the kernel client driver of
// sim/kclient) each send their messages at random, while the run's controller sends
// indications and broadcasts, closes the channel every so many frames and kills programs.
// Everything is seen from outside the driver and handed to the oracle (oracle.h); at the end
// the machine shuts down and the verifier's final check runs (pool by tag, handles,
// references).
//
// What each program does, at random: writes tagged requests (each waits a while for its
// completion and is cancelled if held back by flow control), reads (now and then with a
// buffer too small for any message), cancels its read, asks for another client id (now and
// then cancelling that control at once), closes its handle and opens a new session. When it
// reads the port-lost notification it ends the session and opens a new one. A kernel client
// registers, asks for a client id with a control request and sends its requests with the
// send routine; around a port loss it is paused and afterwards registers anew.
//
// Time is virtual: the run costs what the threads compute, not what the delays say.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "oracle.h"

namespace stress {

struct options {
    unsigned clients = 64;
    std::uint64_t messages = 100000;       // requests each client writes
    std::uint64_t port_loss_every = 1000;  // frames on the channel between two port losses; 0: none
    std::uint64_t seed = 1;
    unsigned kernel_clients = 4;   // at most max_kernel_clients
    std::uint64_t kill_every = 0;  // frames between two program kills; 0: 5 x port_loss_every
    bool progress = true;          // a line on stderr, at most once a second
};

inline constexpr unsigned max_kernel_clients = 16;

struct result {
    verdict v;
    std::map<std::string, std::uint64_t> counts;  // what the run did, by kind
    std::vector<std::string> final_check;         // the final check's findings (empty: clean)
    std::string failure;                          // the run could not be made (set-up)
    double seconds = 0;                           // real time
    std::int64_t virtual_ms = 0;
    bool ok() const { return failure.empty() && v.clean() && final_check.empty(); }
};

result run(const options& o);

// The summary table.
void print_summary(std::FILE* out, const options& o, const result& r);

}  // namespace stress

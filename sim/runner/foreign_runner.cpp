// The runner of a foreign driver and its test program (see foreign_runner.h).
#include "foreign_runner.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "kernel/strings.h"
#include "machine/platform_machine.h"

namespace sim::runner {
namespace {

struct options {
    std::u16string service = u"ECHO";
    std::u16string hardware_id = u"root\\ECHO";
    std::string mode;
    std::optional<long> sleep_at_ms;
    long resume_after_ms = 5000;
    std::optional<long> interrupt_at_ms;
    bool wall_clock = false;
    std::vector<std::string> program_args;  // argv[1..] of the program
};

std::u16string widen(const char* s) {
    std::u16string out;
    for (; *s != 0; ++s) {
        out.push_back(static_cast<unsigned char>(*s));
    }
    return out;
}

bool number(const char* text, long& out) {
    char* end = nullptr;
    out = std::strtol(text, &end, 10);
    return end != text && *end == 0 && out >= 0;
}

// Options first; the first argument that is not one (or everything after "--") is the
// program's.
std::optional<options> parse(int argc, char** argv) {
    options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        long n = 0;
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--service" || a == "--hardware-id" || a == "--mode") {
            const char* v = value();
            if (v == nullptr) {
                return std::nullopt;
            }
            if (a == "--service") {
                o.service = widen(v);
            } else if (a == "--hardware-id") {
                o.hardware_id = widen(v);
            } else {
                o.mode = v;
            }
        } else if (a == "--sleep-at" || a == "--resume-after" || a == "--interrupt-at") {
            const char* v = value();
            if (v == nullptr || !number(v, n)) {
                return std::nullopt;
            }
            if (a == "--sleep-at") {
                o.sleep_at_ms = n;
            } else if (a == "--resume-after") {
                o.resume_after_ms = n;
            } else {
                o.interrupt_at_ms = n;
            }
        } else if (a == "--wall-clock") {
            o.wall_clock = true;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) {
        o.program_args.emplace_back(argv[i]);
    }
    if (o.mode.empty()) {
        o.mode = "(no arguments)";
        for (std::size_t k = 0; k < o.program_args.size(); ++k) {
            o.mode = (k == 0 ? "" : o.mode + " ") + o.program_args[k];
        }
    }
    return o;
}

void delay_ms(long ms) {
    LARGE_INTEGER d;
    d.QuadPart = -static_cast<LONGLONG>(ms) * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &d);
}

std::string verdict_of(DWORD code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    if (code == 0) {
        return "passed (exit 0)";
    }
    if (code == static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) {
        return std::string("ended by Ctrl-C (exit ") + hex + ")";
    }
    return "failed (exit " + (code < 0x10000 ? std::to_string(code) : std::string(hex)) + ")";
}

}  // namespace

int run_foreign(int argc, char** argv, PDRIVER_INITIALIZE entry, program_main program) {
    platform::scheduler::get().adopt_current_thread("runner");
    std::optional<options> parsed = parse(argc, argv);
    if (!parsed) {
        std::fputs(
            "usage: runner [--service NAME] [--hardware-id ID] [--mode NAME] "
            "[--sleep-at MS [--resume-after MS]] [--interrupt-at MS] [--wall-clock] "
            "[--] [program arguments]\n",
            stderr);
        return 2;
    }
    options& o = *parsed;
    const auto real_start = std::chrono::steady_clock::now();

    platform_machine_options mo;
    mo.wall_clock = o.wall_clock;
    platform_machine m(mo);
    installed_driver& drv = m.install({o.service, entry, o.hardware_id, {}, {}, {}});
    NTSTATUS boot = m.boot();
    std::string verdict;
    std::string power;
    DWORD code = 0;
    const auto virtual_start = platform::now_ms();
    if (!NT_SUCCESS(boot)) {
        verdict = "not run: the driver did not start (" + status_name(boot) + ")";
        code = static_cast<DWORD>(boot);
    } else {
        // The program's argv: its name, then its arguments (kept alive for its whole run).
        std::vector<std::string> args = {"echoapp.exe"};
        args.insert(args.end(), o.program_args.begin(), o.program_args.end());
        std::vector<char*> pargv;
        for (auto& a : args) {
            pargv.push_back(a.data());
        }
        pargv.push_back(nullptr);
        auto app =
            m.run_program(platform::io::token_kind::administrator, "echoapp", [program, &pargv] {
                int rc = program(static_cast<int>(pargv.size() - 1), pargv.data());
                std::fflush(stdout);
                ExitProcess(static_cast<UINT>(rc));
            });
        // Events from outside the program, on a thread of the machine's own.
        auto events = platform::scheduler::get().start_thread("machine-events", [&] {
            long at = 0;
            if (o.sleep_at_ms) {
                delay_ms(*o.sleep_at_ms);
                at = *o.sleep_at_ms;
                NTSTATUS s = drv.sleep();
                delay_ms(o.resume_after_ms);
                NTSTATUS r = drv.resume();
                at += o.resume_after_ms;
                power = "sleep " + status_name(s) + ", resume " + status_name(r);
            }
            if (o.interrupt_at_ms && !app->exited()) {
                if (*o.interrupt_at_ms > at) {
                    delay_ms(*o.interrupt_at_ms - at);
                }
                app->interrupt();
            }
        });
        app->wait();
        events->join();
        code = app->exit_code();
        verdict = verdict_of(code);
    }
    const auto virtual_ms = platform::now_ms() - virtual_start;
    std::fflush(stdout);
    std::vector<std::string> report = m.shutdown(true);
    const auto real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - real_start)
                             .count();
    std::string check = report.empty() ? "clean" : std::to_string(report.size()) + " finding(s)";
    for (const auto& finding : report) {
        std::fputs(("final check: " + finding + "\n").c_str(), stdout);
    }
    std::string line = "RESULT " + o.mode + " | program: " + verdict;
    if (!power.empty()) {
        line += " | " + power;
    }
    line += " | virtual " + std::to_string(virtual_ms) + " ms | real " + std::to_string(real_ms) +
            " ms | final check: " + check + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return code == 0 && report.empty() ? 0 : 1;
}

}  // namespace sim::runner

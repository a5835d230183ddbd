// Return addresses to source locations through elfutils' libdwfl, over the modules mapped
// into this process (/proc/self/maps). One session serves the whole process; it is opened on
// the first report and kept, as reports are rare and the mappings do not change under them.
#include "core/symbolizer.h"

#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>

namespace platform::symbolizer {
namespace {

char* debuginfo_path = nullptr;

const Dwfl_Callbacks callbacks = {
    dwfl_linux_proc_find_elf,
    dwfl_standard_find_debuginfo,
    nullptr,
    &debuginfo_path,
};

struct session {
    std::mutex lock;
    Dwfl* dwfl = nullptr;  // guarded by lock; null until opened, or when opening failed
    bool opened = false;
};

session& the_session() {
    static session* s = new session();  // never destroyed: reports may come from any thread
    return *s;
}

Dwfl* open_locked(session& s) {
    if (s.opened) {
        return s.dwfl;
    }
    s.opened = true;
    Dwfl* dwfl = dwfl_begin(&callbacks);
    if (dwfl == nullptr) {
        return nullptr;
    }
    if (dwfl_linux_proc_report(dwfl, getpid()) != 0 ||
        dwfl_report_end(dwfl, nullptr, nullptr) != 0) {
        dwfl_end(dwfl);
        return nullptr;
    }
    s.dwfl = dwfl;
    return dwfl;
}

// A file named in the line tables, relative to the source tree when it lies inside it. The line
// tables may name a file through its compile directory ("<build>/../../tests/x.cpp"), so the
// path is normalised before it is compared with the tree's root.
std::string relative_to_tree(const char* file) {
    std::string path = std::filesystem::path(file).lexically_normal().string();
    constexpr std::string_view root = VRAX_SOURCE_ROOT;
    if (path.size() > root.size() && std::string_view(path).substr(0, root.size()) == root) {
        path.erase(0, root.size());
    }
    return path;
}

// Drops the parameter list (and any trailing qualifiers) of a demangled function name:
// "ns::f(int, char const*) const" -> "ns::f". Names without one are returned as they are.
std::string without_parameters(std::string name) {
    std::size_t close = name.rfind(')');
    if (close == std::string::npos) {
        return name;
    }
    int depth = 0;
    for (std::size_t i = close + 1; i-- > 0;) {
        if (name[i] == ')') {
            ++depth;
        } else if (name[i] == '(' && --depth == 0) {
            if (i == 0) {
                return name;  // "(anonymous namespace)" alone: nothing to drop
            }
            name.resize(i);
            return name;
        }
    }
    return name;
}

std::string demangle(const char* symbol) {
    int status = 0;
    char* plain = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (status != 0 || plain == nullptr) {
        std::free(plain);
        return symbol;
    }
    std::string out = without_parameters(plain);
    std::free(plain);
    return out;
}

// The line of `pc` found by visiting the module's compile units in turn. libdw finds a unit
// through the address-range table, which lists only what the compiler put there: clang leaves
// some functions out of it in sanitizer builds, and a unit compiled without the table is not
// listed at all. Each unit's own ranges still hold them.
const char* line_by_unit_walk(Dwfl_Module* module, std::uintptr_t pc, int* lineno) {
    Dwarf_Addr bias = 0;
    for (Dwarf_Die* unit = dwfl_module_nextcu(module, nullptr, &bias); unit != nullptr;
         unit = dwfl_module_nextcu(module, unit, &bias)) {
        if (dwarf_haspc(unit, pc - bias) != 1) {
            continue;
        }
        Dwarf_Line* line = dwarf_getsrc_die(unit, pc - bias);
        if (line == nullptr || dwarf_lineno(line, lineno) != 0) {
            return nullptr;
        }
        return dwarf_linesrc(line, nullptr, nullptr);
    }
    return nullptr;
}

}  // namespace

namespace {

bool resolve_pc(std::uintptr_t pc, location* out) {
    *out = location{};
    if (pc == 0) {
        return false;
    }
    session& s = the_session();
    std::lock_guard g(s.lock);
    Dwfl* dwfl = open_locked(s);
    if (dwfl == nullptr) {
        return false;
    }
    Dwfl_Module* module = dwfl_addrmodule(dwfl, pc);
    if (module == nullptr) {
        return false;
    }
    if (const char* symbol = dwfl_module_addrname(module, pc)) {
        out->function = demangle(symbol);
    }
    int lineno = 0;
    const char* file = nullptr;
    if (Dwfl_Line* line = dwfl_module_getsrc(module, pc)) {
        file = dwfl_lineinfo(line, nullptr, &lineno, nullptr, nullptr, nullptr);
    } else {
        file = line_by_unit_walk(module, pc, &lineno);
    }
    if (file != nullptr) {
        out->file = relative_to_tree(file);
        out->line = lineno;
    }
    if (out->file.empty()) {
        Dwarf_Addr start = 0;
        const char* name =
            dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
        char offset[32];
        std::snprintf(offset, sizeof offset, "+0x%llx",
                      static_cast<unsigned long long>(pc - start));
        out->file = std::string(name != nullptr ? name : "?") + offset;
    }
    return true;
}

std::string text(std::uintptr_t pc, const void* shown) {
    if (shown == nullptr) {
        return "an unknown place";
    }
    location where;
    if (!resolve_pc(pc, &where)) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%p", shown);
        return buf;
    }
    std::string out = where.function.empty() ? std::string("?") : where.function;
    out += " (" + where.file;
    if (where.line != 0) {
        out += ":" + std::to_string(where.line);
    }
    return out + ")";
}

// The return address follows the call; the call instruction is the byte before it.
std::uintptr_t call_of(const void* return_address) {
    auto pc = reinterpret_cast<std::uintptr_t>(return_address);
    return pc == 0 ? 0 : pc - 1;
}

}  // namespace

bool resolve(const void* return_address, location* out) {
    return resolve_pc(call_of(return_address), out);
}

std::string describe(const void* return_address) {
    return text(call_of(return_address), return_address);
}

std::string describe_code(const void* address) {
    return text(reinterpret_cast<std::uintptr_t>(address), address);
}

}  // namespace platform::symbolizer

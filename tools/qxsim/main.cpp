// qxsim: runs a simulated device on a pseudo-terminal until told to stop.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "config_keys.h"
#include "control.h"
#include "resources/version_text.h"
#include "sim.h"

namespace {

const char* kHelp = R"(Usage: qxsim [options]

Simulates one emulator/programmer on a pseudo-terminal. On start it prints one line:
  qxsim: ready LINK SLAVE [control PORT]
LINK is COMn, the --link path or "-"; SLAVE is the pseudo-terminal the PC side opens.

Device:
  --model L            hardware-ID letter of the model (default O): 1 2 T S A F O P R L D X
                       Q J Z N n # + l ^ c d
  --fw MAJOR.MINOR     firmware version (default 10.15); it also switches model features
  --eeprom FILE        whole EEPROM contents from address 0 (rest 0xFF; 64 KiB, wraps)
  --eeprom-id L        information record byte 0, EEPROM address 1 (default: the model
                       letter; "none" leaves the EEPROM byte). 'P' on model O: Kelby II
  --interface L        information record byte 3, EEPROM address 4: U, B or S (default U;
                       "none" leaves the EEPROM byte)
  --name TEXT          name string of model S (up to 252 characters)
  --serial HEX         the 9 serial bytes (18 hex digits)
  --serial-byte0 V     serial byte 0 only: 0 or n = encryption off (default n), else on
  --flash-info HEX     the 16 flash information bytes (32 hex digits)
  --tolliver-mode N    Tolliver configuration bytes (default 1, 0, 0xAA): in memory
  --tolliver-bank N    space 0x20 at 0..2 on firmware 1.0-1.5, else EEPROM 0x100..0x102
  --tolliver-marker N
  --emulation-bank N   initial emulation bank (default 0)
  --rw-bank N          initial read/write bank (default 0)
  --image FILE         initial memory of space 0x20 (the only space of most models)
  --image10 FILE       initial memory of space 0x10 (Sarnet, Tolliver)
  --fill N             byte of memory not given by an image (default 0xFF)

Line:
  --bauds LIST         answer only at these line speeds, e.g. 921600,19200 (default any)
  --throttle           replies leave no faster than the line's baud (10 bits a byte), and
                       not before the request itself could have crossed the wire
  --fault SPEC         inject a fault (repeatable), SPEC = KEY:KIND[=N][@OCC][,replug=MS]
                       KEY: VV VSS NS HR HW E e S B 8 DOLI R W w X ZR ZW or * (any)
                       KIND: none (ignored, no effect) | short=N (first N reply bytes)
                       | badsum (last reply byte altered) | refuse ('?', no effect)
                       | delay=MS | garbage=N (N junk bytes first)
                       | unplug[=N] (N reply bytes, then the pseudo-terminal closes)
                       @OCC: only the OCC-th matching request (default every one)
                       replug=MS: after an unplug, a new pseudo-terminal after MS ms

Registration and control:
  --com N              link the slave as COMn in --com-dir or $QX_COM_DIR
  --com-dir DIR        directory of COMn links (default $QX_COM_DIR)
  --link PATH          link the slave at PATH instead
  --control PORT       line-based control on 127.0.0.1:PORT (0 = any free port). Commands:
                       fault SPEC, clear-faults, transcript, transcript-count,
                       clear-transcript, dump FILE, unplug, replug, speed (line),
                       device-speed (0: not told), state, model, read SPACE OFFSET LEN,
                       write SPACE OFFSET HEX, eeprom-read ADDRESS LEN,
                       eeprom-write ADDRESS HEX, bauds LIST|-, link PATH|- (move or drop
                       the link), config [KEY=VALUE...], quit, help. SPACE, OFFSET and
                       ADDRESS are hex, LEN decimal (at most 65536 bytes a command).
                       Each answer ends with "ok[ VALUE]" or "error TEXT".
                       config replaces the device by a fresh one, replugged on a new
                       pseudo-terminal at the same link; keys not given take the defaults
                       above. Keys: model fw eeprom-id interface name (one word) name-hex
                       serial flash-info tolliver-mode tolliver-bank tolliver-marker
                       emulation-bank rw-bank fill bauds throttle(0|1) transcript-limit
                       fault (repeatable) image image10 eeprom (HEX of the whole file).
                       A letter (model, eeprom-id, interface) is one character, even a
                       digit, or a number of two or more characters (0x4F).
  --transcript FILE    write every request as received on exit and on SIGUSR1, one line
                       each: BAUD HEX KEY OUTCOME [enc]
  --dump FILE          write the memory on exit and on SIGUSR1: FILE (space 0x20),
                       FILE.10 (space 0x10, two-space models), FILE.eeprom
  --help               this text
  --version            print the version and exit

Device behaviour:
  Every request ends with the 8-bit sum of its bytes; a wrong sum gets no reply, an
  unknown or unsupported command '?'. Encrypted requests (link cipher) are accepted when
  encryption is on; they are 2 bytes longer than the plain form, which is also accepted.
  Speed: a request is answered only when the line speed is in --bauds (if given) and
  equals the device's own rate; until an 'S' request sets that rate (after start and
  after a replug) the device follows the line. 'S' to a rate outside --bauds gets '?'.
  Requests at a wrong speed are dropped.
  Memory: the model's memory size (64 KiB for models without one); Sarnet and Tolliver
  have spaces 0x10 and 0x20 (3-byte addresses: top byte bit 0x10 picks space 0x10, its
  low nibble is address bits 19..16). Kelby, Morrow and ORVA in large-bin mode (emulation
  bank 8, 16 or 2): the read/write bank picks a 64 KiB segment, the large-bin bank itself
  the whole memory; otherwise offset = rw bank * bank size + address. Reads outside the
  memory give 0xFF, writes there are dropped. 'w' writes like 'W'.
  Unplug closes the pseudo-terminal (the PC side's reads fail) and removes the link;
  replug opens a new one, links it again and resets the device's link speed.
  qxsim exits on SIGTERM, SIGINT, SIGHUP, the control "quit", and when its parent dies,
  removing its link.
)";

[[noreturn]] void Usage(const std::string& message) {
    std::cerr << "qxsim: " << message << "\n(try qxsim --help)\n";
    std::exit(2);
}

unsigned long Number(const std::string& text, const char* what, unsigned long max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || v > max) Usage(std::string("bad ") + what + ": " + text);
    return v;
}

bool WriteTranscript(const qxsim::Simulator& sim, const std::string& path) {
    std::ofstream out(path, std::ios::trunc);
    for (const auto& e : sim.Transcript()) out << qxsim::FormatTranscriptEntry(e) << '\n';
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    qxsim::Config config;
    std::optional<int> com;
    std::string comDir, linkPath, transcriptPath, dumpPath;
    std::optional<uint16_t> controlPort;

    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i], value;
        bool inlineValue = false;
        if (const size_t eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = opt.substr(eq + 1);
            opt = opt.substr(0, eq);
            inlineValue = true;
        }
        auto arg = [&]() -> std::string {
            if (inlineValue) return value;
            if (i + 1 >= argc) Usage(opt + " needs a value");
            return argv[++i];
        };
        const std::string key = opt.rfind("--", 0) == 0 ? opt.substr(2) : "";
        if (opt == "--help" || opt == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (opt == "--version") {
            std::cout << qx::VersionLine("qxsim") << "\n";
            return 0;
        } else if (qxsim::IsConfigKey(qxsim::ConfigSource::CommandLine, key)) {
            const std::string text =
                qxsim::ConfigKeyTakesValue(qxsim::ConfigSource::CommandLine, key) ? arg() : "";
            std::string error;
            if (qxsim::SetConfigKey(qxsim::ConfigSource::CommandLine, key, text, config, error) !=
                qxsim::KeyResult::Set)
                Usage(error);
        } else if (opt == "--com") {
            com = static_cast<int>(Number(arg(), "--com", 255));
        } else if (opt == "--com-dir") {
            comDir = arg();
        } else if (opt == "--link") {
            linkPath = arg();
        } else if (opt == "--control") {
            controlPort = static_cast<uint16_t>(Number(arg(), "--control", 65535));
        } else if (opt == "--transcript") {
            transcriptPath = arg();
        } else if (opt == "--dump") {
            dumpPath = arg();
        } else {
            Usage("unknown option " + opt);
        }
    }
    if (com && !linkPath.empty()) Usage("--com and --link exclude each other");
    if (!qxsim::LookupModel(config.hardwareId, config.firmwareMajor, config.firmwareMinor, 0))
        std::cerr << "qxsim: letter '" << config.hardwareId
                  << "' is not in the model table; simulating a bare 64 KiB device\n";

    // Signals are taken synchronously; every thread inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;

    qxsim::Simulator sim(config);
    std::string error;
    if (!sim.Start(&error)) {
        std::cerr << "qxsim: " << error << "\n";
        return 1;
    }
    std::string shownLink = "-";
    if (com) {
        if (!sim.LinkAsCom(*com, comDir, &error)) {
            std::cerr << "qxsim: " << error << "\n";
            return 1;
        }
        shownLink = "COM" + std::to_string(*com);
    } else if (!linkPath.empty()) {
        if (!sim.LinkAt(linkPath, &error)) {
            std::cerr << "qxsim: " << error << "\n";
            return 1;
        }
        shownLink = linkPath;
    }
    std::unique_ptr<qxsim::ControlServer> control;
    if (controlPort) {
        control = std::make_unique<qxsim::ControlServer>(sim);
        if (!control->Start(*controlPort, &error)) {
            std::cerr << "qxsim: " << error << "\n";
            return 1;
        }
    }
    std::cout << "qxsim: ready " << shownLink << ' ' << sim.SlavePath();
    if (control) std::cout << " control " << control->Port();
    std::cout << std::endl;

    auto save = [&] {
        bool ok = true;
        if (!transcriptPath.empty() && !WriteTranscript(sim, transcriptPath)) {
            std::cerr << "qxsim: cannot write " << transcriptPath << "\n";
            ok = false;
        }
        if (!dumpPath.empty() && !sim.Dump(dumpPath, &error)) {
            std::cerr << "qxsim: " << error << "\n";
            ok = false;
        }
        return ok;
    };

    const timespec tick{0, 200 * 1000 * 1000};
    for (;;) {
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGUSR1) {
            save();
            continue;
        }
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) break;
        if (getppid() != parent) break;
        if (control && control->QuitRequested()) break;
    }
    if (control) control->Stop();
    sim.Stop();
    return save() ? 0 : 1;
}

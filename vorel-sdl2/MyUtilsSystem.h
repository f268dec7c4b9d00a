// System and network helpers for a terminal that must find out who it is on
// the network and poke at the system around it: dotted IPv4 parsing, the
// hardware (MAC) and IPv4 address of its interfaces, an ICMP echo with a
// one-second limit, shell commands run in the background, one-line status
// files, window-manager properties and file tests.
//
// Threads: every function may be called from any thread; they share no state
// except the shell-command runner, which is meant to be replaced only by tests
// before any command is started.
//
// Failure: the interface functions and Ping report through their result codes
// and log nothing. SystemAsync, StatusFileSet and SetWindowsProperties return
// before their work is done and cannot report failures.
//
// Caller text never reaches a shell unquoted, except where shell text is the
// point (the command of SystemAsync, the extra commands of
// SetWindowsProperties): status files are written directly, without a shell,
// and window names and actions are quoted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace MyUtils {

// --- IPv4 text

struct ipv4_type {
    uint8_t data[4]; // the octets in text order
};

// Parses `string_length` characters of a dotted IPv4 address. 0 on success;
// -1 an octet above 255 (also: `string` or `result` null), -2 an empty octet
// before a dot, -3 a fourth dot, -4 a character that is neither digit nor dot,
// -5 an empty last octet, -6 not exactly three dots. Octets are stored as they
// are completed, so `result` may be partly filled on error. Leading zeros are
// accepted ("010" is 10).
int ipv4_parse(const uint8_t* string, uint8_t string_length, ipv4_type* result);

// --- Interfaces
//
// The interface list comes from SIOCGIFCONF with room for 64 entries; it shows
// only interfaces that carry an IPv4 address, so one without counts as absent.
// Hardware addresses are written as 17 characters "xx:xx:xx:xx:xx:xx" (lower
// case) into a caller buffer of at least 18 bytes, and/or as 6 raw bytes.

// The address that the terminals of this deployment carry on their local
// network; an interface with it is the terminal's main interface.
inline constexpr const char* TerminalFixedIPv4 = "192.168.253.2";

// 0 found, 1 no such interface, -1 error (IfName null, both outputs null, a
// failed socket or ioctl).
int GetMacAddress(const char* IfName, char* pStrMac, unsigned char* pHexMac);

// The interface whose IPv4 address is `IPAddress` (exact dotted text). Fills
// the outputs that are not null; IfName (at least 16 bytes) gets the name.
// 0 found, 1 no interface has it, -1 error.
int GetMacAddressForIP(const char* IPAddress, char* IfName, char* pStrMac, unsigned char* pHexMac);

// Finds the terminal's main wired interface: `defName` if it works, else the
// interface carrying TerminalFixedIPv4, else the first working name of
// eth0, eth1, enp3s0, enp4s0, enp1s0, enp2s0, eno1, eno0, enp5s0 ... enp12s0,
// eth2 ... eth7. Returns its name and sets MACAddress (and pHexMac if not
// null); returns "" and leaves both unchanged when none is found.
std::string GetFirstMacAddress(std::string& MACAddress, unsigned char* pHexMac = nullptr,
                               std::string defName = "");

// IPv4 address of `adapter` (empty: the one GetFirstMacAddress finds).
// 0 found, 1 no such interface, -1 error or no interface at all.
int GetIPAddress(std::string adapter, std::string& IPAddress);

// All IPv4 addresses in interface-list order; empty on failure.
std::vector<std::string> GetAllIPAddresses();

// --- Shell and files

// Runs `cmd` through the shell (std::system) on a detached thread and returns
// at once. `cmd` is shell text and is copied. Nothing reports completion; if
// no thread can be started the command is dropped.
void SystemAsync(const std::string& cmd);

// The word `text` as one shell word: single-quoted, with embedded single
// quotes closed, escaped and reopened. Safe for any byte except NUL.
std::string ShellQuote(const std::string& text);


// Writes `value` and a line end to folder/filename in the background,
// creating `folder` with its parents. The new content is written to a
// temporary file in the same folder and renamed over the old file, so a
// reader sees either the old or the new content, never part of it. Two writes
// to the same file may finish in either order. If no thread can be started,
// the file is written before the call returns.
void StatusFileSet(std::string folder, std::string filename, std::string value);

// First line of folder/filename without its line end ("" for an empty file),
// or "-" if it cannot be opened or is a directory.
std::string StatusFileGet(std::string folder, std::string filename);

// In the background: finds the window whose `wmctrl -l` line holds this host's
// name, a blank and `windowName` as whole words (the first such line), applies
// each action with `wmctrl -i -r <id> -b <action>` (e.g. "add,fullscreen"),
// then runs `extraCommandsInLine` as shell text (trusted caller commands; it
// runs also when no window was found). Window name and actions are quoted.
void SetWindowsProperties(const std::string& windowName, const std::vector<std::string>& actions,
                          const std::string& extraCommandsInLine = "");

// Exists and is a directory (following links).
bool FolderExists(const std::filesystem::path& path);

// False if `path` does not exist (following links: a dangling link is false).
// Otherwise: both flags: a regular file or a symbolic link; only
// checkIfRegFile: a regular file (possibly through a link); only checkIfLink:
// a symbolic link; neither: true.
bool FileExists(const std::filesystem::path& path, bool checkIfRegFile = false, bool checkIfLink = false);

// --- ICMP

// The Internet checksum (RFC 1071) of `len` bytes: 16-bit words in memory
// order, an odd last byte added as the low byte of a word. Null gives 0xffff.
uint16_t in_cksum(uint16_t* addr, unsigned int len);

enum PingResult {
    PING_OK = 0,
    PING_TIMEOUT = 1,
    PING_BAD_HOST = 2,
    PING_ERROR = 3,
    PING_PACKET_LOSS = 4,
};

// One ICMP echo to `target` (dotted IPv4 or a host name), waiting at most one
// second in all. PING_OK sets durationOut to the round trip in whole ms
// (rounded); PING_BAD_HOST: the name does not resolve (or receiving failed);
// PING_ERROR: no raw socket (needs the privilege for raw sockets) or a wait
// error; PING_PACKET_LOSS: the request could not be sent; PING_TIMEOUT: no
// answer within the second. Only the answer to this very request counts:
// concurrent pings from other threads or processes do not confuse it.
PingResult Ping(const std::string& target, int& durationOut);

} // namespace MyUtils

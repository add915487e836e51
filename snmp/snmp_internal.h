// Shared between the files of the SNMP agent; not for use elsewhere. Free of the
// library's headers, so that tests can include it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The running firmware's version number (0 when unknown).
int firmwareVersionNumber();

// Words of the configuration file. A usable text has no control character; a plain
// word has no blank, quote, backslash or '#' either and stands unquoted.
bool confTextUsable(const std::string &text);
bool confWordPlain(const std::string &text);
// The text between the quotes, its quotes and backslashes escaped with a backslash.
std::string confQuoted(const std::string &text, char quote);
// A plain word as it is, any other text double-quoted.
std::string confWord(const std::string &text);

// The SNMPv3 users the configuration file creates; the agent takes their keys from the
// file alone, never from its persistent state.
void setConfiguredUsers(const std::vector<std::string> &users);
std::vector<std::string> configuredUsers();

// Rewrites the library's persistent file without the "usmUser" lines of the named
// users, keeping every other line (engine boots, engine ID, other users). Lines longer
// than the library writes are kept as they are. False when the file could not be
// rewritten (a missing file is no error).
bool dropPersistentUsers(const std::string &path, const std::vector<std::string> &names);
// The user name of one persistent "usmUser" line (quoted or hexadecimal, as the library
// writes it); false when the line is no such line or cannot be read.
bool persistentUserName(const std::string &line, std::string &name);

// Column lookup of the device tables: the parameter prefix of a table's column and its
// ASN.1 type, null when the column has no parameter family.
const char *lookupColumn(const char *table, unsigned column, uint8_t &type);

// Sends the trap requests waiting in the queue; on the agent's thread only.
void sendQueuedTraps();
// Has the trap receivers of the configuration file opened as sessions of this agent, so
// that each gets the notifications of its own version only; before the file is read.
void takeOverTrapTargets();
// Closes the receivers' sessions: before the file is read again and at the agent's end.
void closeTrapTargets();
// Whether an agent runs and takes trap requests (set by the agent's thread).
void setTrapAgentRunning(int taskNumber);

// The agent's set-up up to its first wait: the library's settings, the MIB modules, the
// configuration file (then the persistent state), the transports. False when the agent
// cannot run (the reason is logged).
bool snmpdStart(const std::string &confPath);

// The MIB modules of the device.
int init_kvxAutoMib();
int init_deviceTables();
void init_kvx_mib();

// Starts the stop of the daemon (a ShutDown task with a delay of 1 s); the start result.
int requestShutDown();

// The control socket of the stand-ins: <root>/run/sim.sock, a unix stream socket that
// takes one command per line and answers with any number of text lines followed by
// "OK" or "ERR <reason>". Tests, the demo and sim/simctl drive the simulated board
// and devices through it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim {

// A command handler gets the words of the line (the command word first) and appends
// its answer lines to out. It returns an empty text on success, else the reason.
using CommandHandler = std::function<std::string(const std::vector<std::string> &args, std::string &out)>;

// A state provider appends "key value" lines to the "state" dump.
using StateProvider = std::function<void(std::string &out)>;

// Longest command line taken; a longer one is answered with an error and dropped.
constexpr size_t MaxLine = 1024;
// Most clients served at once.
constexpr int MaxClients = 16;

void addCommand(const std::string &name, const std::string &usage, CommandHandler handler);
void addState(StateProvider provider);

// Runs one command line and returns the whole answer (lines and the closing line).
std::string execute(const std::string &line);

// Splits a command line into words at blanks and tabs; a word may be put in double
// quotes to hold blanks.
std::vector<std::string> splitWords(const std::string &line);

// Starts and stops the socket's server thread.
int startControl(const std::string &socketPath);
void stopControl();

} // namespace sim

// Lines for the systemd journal. A service whose standard output or error
// is connected to the journal finds JOURNAL_STREAM=<device>:<inode> of that
// stream in its environment; a line written there that starts with "<N>" is
// stored with syslog priority N. On any other stream (a terminal, a file, a
// pipe, also a redirection made by a shell that inherited the variable)
// lines stay as they are.
#pragma once

#include <cstdio>
#include <string>

namespace plat {

enum class Priority { Error = 3, Warning = 4, Info = 6 };

// True when stream is the one JOURNAL_STREAM names.
bool IsJournal(std::FILE* stream);

// text with "<N>" before each of its lines when stream is the journal,
// unchanged otherwise.
std::string ForStream(std::FILE* stream, Priority priority, const std::string& text);

// Writes text (whole lines) to stream as ForStream gives it and flushes.
void WriteLines(std::FILE* stream, Priority priority, const std::string& text);

}  // namespace plat

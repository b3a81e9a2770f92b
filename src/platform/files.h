// Files the board software shares with us, in the Windows conventions it
// expects: text-mode files end every line in CR LF on disk, and reading in
// text mode drops the CR before a LF.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace plat {

// A file written in text mode: every '\n' written reaches the disk as CR LF.
// Errors are remembered; Close reports whether everything was written.
class TextWriter {
public:
    TextWriter() = default;
    ~TextWriter();
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // mode: "w" (create or empty), "a" (append, create when missing); any
    // further letters ("a+t", "wt") are accepted and ignored.
    bool Open(const std::string& path, const char* mode);
    bool IsOpen() const { return file_ != nullptr; }
    bool Write(const char* data, std::size_t length);
    bool Write(const std::string& text) { return Write(text.data(), text.size()); }
    bool Failed() const { return failed_; }
    // Returns false when any write or the close failed.
    bool Close();

private:
    std::FILE* file_ = nullptr;
    bool failed_ = false;
};

// A file read in text mode: a CR directly before a LF is not part of the line.
class TextReader {
public:
    TextReader() = default;
    ~TextReader();
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;

    bool Open(const std::string& path);
    bool IsOpen() const { return file_ != nullptr; }
    void Close();
    // True when another character can be read (false at the end, or when the
    // file is not open).
    bool HasMore();
    // Reads up to the next newline, which is consumed and not stored. At
    // most maxChars characters are taken; when the line is longer, the rest
    // stays for the next call and truncated is set. Returns false at the end.
    bool ReadLine(std::string& line, std::size_t maxChars, bool* truncated = nullptr);
    // Reads the whole line whatever its length.
    bool ReadLine(std::string& line);
    // Back to the start, for a second pass over the same file.
    bool Rewind();

private:
    int Get();
    std::FILE* file_ = nullptr;
};

// The spool is written by the board's account too, so nothing inside it is
// trusted to be what its name says. Below the spool root (which itself may
// be a link: sysops move spools) no symbolic link is followed, and only
// regular files are opened: a FIFO would block the open, a device or a link
// would hand our writes (or the password-bearing profile) to something
// else. Outside the root only the last component is checked.
void SetSpoolRoot(const std::string& dir);
const std::string& SpoolRoot();
// Receives one line for each entry refused, naming it and the reason.
using RefusalReporter = void (*)(const std::string& line);
void SetRefusalReporter(RefusalReporter reporter);
// True when the last failed open, create or delete was such a refusal
// (already reported); false for ordinary failures (missing file, a
// directory in the way, no space).
bool LastWasRefused();

// open(2) for a regular file only (O_CREAT may create it); -1 with errno
// otherwise. The descriptor is blocking and close-on-exec.
int OpenRegular(const std::string& path, int flags, mode_t mode = 0666);
// A new file of our own: a regular file of that name is replaced, a link
// or special file in its place is refused. Opened write-only.
int CreateNewFile(const std::string& path, mode_t mode = 0666);
// A directory that is no link (below the spool root, nor any component).
bool IsRealDirectory(const std::string& path);

// Replaces an existing target atomically.
bool RenameReplace(const std::string& from, const std::string& to);
// Fails (returns false, errno EEXIST) when the target exists.
bool RenameNoReplace(const std::string& from, const std::string& to);
bool DeleteFile(const std::string& path);
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
bool CreateDirectory(const std::string& path);  // one level; true when it exists already
bool RemoveDirectory(const std::string& path);  // an empty directory
// The names in a directory that is no link (as IsRealDirectory), "." and
// ".." left out, with whether each is a directory itself. False when it
// cannot be read (errno set; ENOENT when it is missing).
struct DirectoryEntry {
    std::string name;
    bool directory = false;  // DeleteFile cannot remove it
};
bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& entries);
// Writes the whole buffer at the given offset (or at the end when offset < 0,
// through O_APPEND) with one write call; the file is created when missing.
// Returns false on any short or failed write; a cut-off append is truncated
// away again so that no partial record stays at the end.
bool WriteAt(const std::string& path, const void* data, std::size_t length, long offset);
// The whole of a file the sysop keeps (links followed, as for the profile),
// at most maxBytes of it. False with err set: ENOENT when it is missing,
// EFBIG when it is longer, EINVAL when it is no regular file (a FIFO is not
// waited on), else the error of the open or read.
bool ReadSmallFile(const std::string& path, std::size_t maxBytes, std::string& text, int& err);
// The same for a descriptor already open (closed here): for files that
// must be opened otherwise, as OpenRegular does below the spool root.
bool ReadSmallFileFrom(int fd, std::size_t maxBytes, std::string& text, int& err);

}  // namespace plat

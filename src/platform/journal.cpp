#include "platform/journal.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdlib>

namespace plat {

bool IsJournal(std::FILE* stream) {
    const char* named = std::getenv("JOURNAL_STREAM");
    if (named == nullptr || *named == '\0') return false;
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    char rest = 0;
    if (std::sscanf(named, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2)
        return false;
    // Checked on every line: the stream can be redirected while we run.
    struct stat st;
    if (fstat(fileno(stream), &st) != 0) return false;
    return st.st_dev == device && st.st_ino == inode;
}

std::string ForStream(std::FILE* stream, Priority priority, const std::string& text) {
    if (!IsJournal(stream)) return text;
    const std::string prefix = "<" + std::to_string(static_cast<int>(priority)) + ">";
    std::string out;
    out.reserve(text.size() + prefix.size());
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        out += prefix;
        out.append(text, start, end - start);
        start = end;
    }
    return out;
}

void WriteLines(std::FILE* stream, Priority priority, const std::string& text) {
    const std::string shown = ForStream(stream, priority, text);
    std::fwrite(shown.data(), 1, shown.size(), stream);
    std::fflush(stream);
}

}  // namespace plat
